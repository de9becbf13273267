// Runs the program under test as a client would: a chosen argv[0], environment and working
// directory; its exit status (or signal) and standard error come back.
#pragma once

#include <string>
#include <vector>

namespace tevu::condition::testing {

enum class StandardOutput { pipe, closed, full_device, terminal };

struct RunOptions {
  std::string argv0 = "test";
  bool null_argv0 = false;     // exec with an empty argument vector
  std::vector<std::string> environment;  // added to LC_ALL=C and the sanitizer settings
  std::string directory;       // working directory of the child, when not empty
  StandardOutput output = StandardOutput::pipe;
};

struct RunResult {
  int exit_status = -1;  // -1 when ended by a signal
  int signal = 0;
  std::string error;     // everything written on standard error
};

RunResult run_program(const std::string& program, const std::vector<std::string>& words,
                      const RunOptions& options = {});

// Runs a helper command (msgfmt, localedef) and says whether it succeeded.
bool run_tool(const std::vector<std::string>& command);

}  // namespace tevu::condition::testing
