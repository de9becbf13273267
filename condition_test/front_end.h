// The command: start-up, one evaluation, and its exit status.
#pragma once

namespace tevu::condition {

constexpr const char kTextDomain[] = "quillkit";

// Runs the program over its words with message catalogues under localedir and returns the exit
// status (0 true, 1 false); syntax errors exit with status 2.
int run_command(int argc, char** argv, const char* localedir);

}  // namespace tevu::condition
