// Runs a program as a client would: a chosen argv[0], environment and working directory, no input;
// its exit status (or signal), standard output and standard error come back. One runner for every
// C++ test that drives a program of the project as a process.
#pragma once

#include <string>
#include <vector>

namespace tevu::testing {

enum class StandardOutput { pipe, closed, full_device, terminal };

struct RunOptions {
    std::string argv0;        // empty: the program's file name
    bool null_argv0 = false;  // exec with an empty argument vector
    // The child's environment: LC_ALL=C and the sanitizer settings, or with `inherit_environment`
    // this process's whole environment; then these NAME=value entries, each replacing an earlier one.
    bool inherit_environment = false;
    std::vector<std::string> environment;
    std::string directory;  // working directory of the child, when not empty
    StandardOutput output = StandardOutput::pipe;
};

struct RunResult {
    int exit_status = -1;  // -1 when ended by a signal
    int signal = 0;
    std::string output;  // standard output, when piped
    std::string error;   // everything written on standard error
};

RunResult run_program(const std::string& program, const std::vector<std::string>& words,
                      const RunOptions& options = {});

// Runs a helper command found on the path (msgfmt, localedef), output discarded; true when it succeeded.
bool run_tool(const std::vector<std::string>& command);

}  // namespace tevu::testing
