#include "leak_report.h"

#include "registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tevu::standin::cuda {

namespace {

std::string hex(std::uintptr_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
    return text;
}

template <class Handle>
std::string hex_handle(Handle handle) {
    return hex(reinterpret_cast<std::uintptr_t>(handle));
}

void write_lines(std::FILE* out, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

}  // namespace

std::vector<std::string> Registry::live_objects() const {
    std::shared_lock lock(mutex_);
    LeakCounts counts;
    std::vector<std::string> objects;
    for (const auto& [handle, state] : contexts_) {
        ++counts.contexts;
        objects.push_back("CUDA_EMU_LEAK: context " + hex_handle(handle) + " on device " +
                          std::to_string(state.device) + ", flags " + hex(state.flags));
    }
    for (const auto& [address, state] : allocations_) {
        ++counts.allocations;
        objects.push_back("CUDA_EMU_LEAK: device allocation " + hex(address) + " of " + std::to_string(state.bytes) +
                          " bytes" + (state.pitch ? " (pitch " + std::to_string(state.pitch) + ")" : "") +
                          " in context " + hex_handle(state.owner));
    }
    for (const auto& [address, state] : host_buffers_) {
        ++counts.host_buffers;
        objects.push_back("CUDA_EMU_LEAK: page-locked buffer " + hex(address) + " of " +
                          std::to_string(state.bytes) + " bytes in context " + hex_handle(state.owner));
    }
    for (const auto& [handle, state] : modules_) {
        ++counts.modules;
        std::string entries;
        for (const std::string& entry : state.entries) entries += (entries.empty() ? "" : ", ") + entry;
        objects.push_back("CUDA_EMU_LEAK: module " + hex_handle(handle) + " (" + entries + ") in context " +
                          hex_handle(state.owner));
    }
    return leak_report(counts, objects);
}

std::vector<std::string> leak_report(const LeakCounts& counts, const std::vector<std::string>& objects) {
    int total = counts.contexts + counts.allocations + counts.host_buffers + counts.modules;
    std::vector<std::string> lines{"CUDA_EMU_REPORT: leaks=" + std::to_string(total) +
                                   " contexts=" + std::to_string(counts.contexts) +
                                   " allocations=" + std::to_string(counts.allocations) +
                                   " host_buffers=" + std::to_string(counts.host_buffers) +
                                   " modules=" + std::to_string(counts.modules)};
    lines.insert(lines.end(), objects.begin(), objects.end());
    return lines;
}

void write_leak_report() {
    const char* to_stderr = std::getenv("CUDA_EMU_REPORT");
    const char* path = std::getenv("CUDA_EMU_REPORT_FILE");
    bool want_stderr = to_stderr && std::strcmp(to_stderr, "1") == 0;
    bool want_file = path && *path;
    if (!want_stderr && !want_file) return;
    std::vector<std::string> lines = Registry::instance().live_objects();
    if (want_stderr) write_lines(stderr, lines);
    if (want_file) {
        if (std::FILE* out = std::fopen(path, "a")) {
            write_lines(out, lines);
            std::fclose(out);
        } else {
            std::fprintf(stderr, "cuda stand-in: cannot write the leak report to %s\n", path);
        }
    }
}

}  // namespace tevu::standin::cuda
