#include "driver_version_text.h"

#include <cctype>
#include <cstddef>

namespace tevu::gpu_check {
namespace {

bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Whether text[from, to) is a version: digits, a dot, then one or more digits and dots.
bool is_version(const std::string& text, std::size_t from, std::size_t to) {
    std::size_t at = from;
    while (at < to && is_digit(text[at])) ++at;
    if (at == from || at >= to || text[at] != '.') return false;
    if (++at == to) return false;
    for (; at < to; ++at)
        if (!is_digit(text[at]) && text[at] != '.') return false;
    return true;
}

}  // namespace

std::string kernel_module_version(const std::string& line) {
    static const std::string label = "Kernel Module";
    const std::size_t found = line.find(label);
    if (found == std::string::npos) return "";
    std::size_t at = found + label.size();
    while (at < line.size()) {
        while (at < line.size() && is_space(line[at])) ++at;
        std::size_t end = at;
        while (end < line.size() && !is_space(line[end])) ++end;
        if (is_version(line, at, end)) return line.substr(at, end - at);
        at = end;
    }
    return "";
}

std::string file_name_version(const std::string& library_path) {
    static const std::string marker = ".so.";
    for (std::size_t found = library_path.rfind(marker); found != std::string::npos;
         found = found == 0 ? std::string::npos : library_path.rfind(marker, found - 1)) {
        const std::size_t version = found + marker.size();
        if (is_version(library_path, version, library_path.size())) return library_path.substr(version);
    }
    return "";
}

}  // namespace tevu::gpu_check
