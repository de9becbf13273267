// Runs a program with extra environment variables and collects its exit status and output.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tevu::cuda::testing {

struct ProcessResult {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out, err;
};

ProcessResult run_process(const std::string& program, const std::vector<std::string>& arguments,
                          const std::vector<std::pair<std::string, std::string>>& environment);

}  // namespace tevu::cuda::testing
