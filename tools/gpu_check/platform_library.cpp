#include "platform_library.h"

#include "build_tree.h"
#include "driver_version_text.h"

#include <fstream>

#include <dlfcn.h>

namespace tevu::gpu_check {

cuda::LibraryNames names_to_check(const std::string& chosen, const cuda::LibraryNames& modules) {
    if (chosen.empty()) return modules;
    return {chosen, {chosen}};
}

PlatformLibrary open_platform_library(const cuda::LibraryNames& names) {
    PlatformLibrary found;
    found.library = cuda::DynamicLibrary::open_first(names);
    const std::string file = found.library->file();
    found.path = file.empty() ? found.library->name() : file;  // links resolved already
    found.stand_in = dlsym(found.library->native_handle(), "tevu_platform_standin") != nullptr;
    return found;
}

std::optional<std::string> refusal(const PlatformLibrary& found, bool stand_ins) {
    const std::string& name = found.name();
    if (found.stand_in && !stand_ins)
        return name + " resolves to " + found.path + ", the project's stand-in, not NVIDIA's library";
    if (!found.stand_in && stand_ins) return name + " resolves to " + found.path + ", which is not the stand-in";
    return std::nullopt;
}

std::optional<PlatformLibrary> open_for_step(Report& report, const char* step, const std::string& missing,
                                             const cuda::LibraryNames& names, bool stand_ins) {
    PlatformLibrary found;
    try {
        found = open_platform_library(names);
    } catch (const cuda::LibraryError& e) {
        report.skip(step, "no " + missing + ": " + names.name + " cannot be loaded (" + e.what() + ")");
        return std::nullopt;
    }
    if (auto why = refusal(found, stand_ins)) {
        report.skip(step, "no " + missing + ": " + *why);
        return std::nullopt;
    }
    return found;
}

std::string nvidia_driver_version(const std::string& library_path) {
    std::ifstream proc("/proc/driver/nvidia/version");
    std::string line;
    if (std::getline(proc, line)) {
        std::string version = kernel_module_version(line);
        if (!version.empty()) return version;
    }
    return file_name_version(library_path);
}

std::string library_detail(const PlatformLibrary& found) {
    if (found.stand_in) return " (stand-in)";
    const std::string version = file_name_version(found.path);
    return version.empty() ? "" : ", version " + version;
}

}  // namespace tevu::gpu_check
