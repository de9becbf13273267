// The leak report written at process exit: with CUDA_EMU_REPORT=1 on standard error, with
// CUDA_EMU_REPORT_FILE=<path> appended to that file. Its first line is the summary
//   CUDA_EMU_REPORT: leaks=<n> contexts=<n> allocations=<n> host_buffers=<n> modules=<n>
// followed by one "CUDA_EMU_LEAK: ..." line per object still alive. Objects that a context held when
// it was destroyed went with it and are not leaks.
#pragma once

#include <string>
#include <vector>

namespace tevu::standin::cuda {

struct LeakCounts {
    int contexts = 0, allocations = 0, host_buffers = 0, modules = 0;
};

// The report's lines for the given counts and object lines.
std::vector<std::string> leak_report(const LeakCounts& counts, const std::vector<std::string>& objects);

// Writes the report where the environment asks for it (nowhere when neither variable is set).
void write_leak_report();

}  // namespace tevu::standin::cuda
