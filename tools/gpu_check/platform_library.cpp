#include "platform_library.h"

#include "build_tree.h"

#include <fstream>
#include <regex>

#include <dlfcn.h>
#include <link.h>

namespace tevu::gpu_check {

PlatformLibrary open_platform_library(const std::string& name) {
    PlatformLibrary found;
    found.library = cuda::DynamicLibrary::open(name);
    link_map* map = nullptr;
    if (dlinfo(found.library->native_handle(), RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name)
        found.path = canonical(map->l_name);
    else
        found.path = name;
    found.stand_in = dlsym(found.library->native_handle(), "tevu_platform_standin") != nullptr;
    return found;
}

std::optional<std::string> refusal(const PlatformLibrary& found, const std::string& name, bool stand_ins) {
    if (found.stand_in && !stand_ins)
        return name + " resolves to " + found.path + ", the project's stand-in, not NVIDIA's library";
    if (!found.stand_in && stand_ins) return name + " resolves to " + found.path + ", which is not the stand-in";
    return std::nullopt;
}

std::optional<PlatformLibrary> open_for_step(Report& report, const char* step, const std::string& missing,
                                             const std::string& name, bool stand_ins) {
    PlatformLibrary found;
    try {
        found = open_platform_library(name);
    } catch (const cuda::LibraryError& e) {
        report.skip(step, "no " + missing + ": " + name + " cannot be loaded (" + e.what() + ")");
        return std::nullopt;
    }
    if (auto why = refusal(found, name, stand_ins)) {
        report.skip(step, "no " + missing + ": " + *why);
        return std::nullopt;
    }
    return found;
}

std::string nvidia_driver_version(const std::string& library_path) {
    std::ifstream proc("/proc/driver/nvidia/version");
    std::string line;
    std::smatch match;
    if (std::getline(proc, line) && std::regex_search(line, match, std::regex("Kernel Module +([0-9][0-9.]*)")))
        return match[1];
    static const std::regex from_file_name(".*\\.so\\.([0-9]+\\.[0-9.]+)$");
    if (std::regex_match(library_path, match, from_file_name)) return match[1];
    return "";
}

}  // namespace tevu::gpu_check
