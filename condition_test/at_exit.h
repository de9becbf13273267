// The check at process exit that standard output and standard error were written successfully.
#pragma once

#include <cstdio>

namespace tevu::condition {

// Closes the stream; fails when an earlier write failed, or when the close failed for another
// reason than an already closed descriptor with nothing pending.
bool close_stream_checked(std::FILE* stream);

// Registered with atexit: a failure on standard output is reported as "write error" and ends the
// process at once with the failure status; a failure on standard error ends it silently.
void flush_stdout_at_exit();

}  // namespace tevu::condition
