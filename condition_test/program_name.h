// The program name that error reports start with.
#pragma once

namespace tevu::condition {

// Stores the invocation name, shortened when it names a library-tool wrapper's real binary
// (".../.libs/NAME", with an "lt-" prefix dropped). A null name aborts the process.
void record_program_name(const char* name);

const char* program_name();

}  // namespace tevu::condition
