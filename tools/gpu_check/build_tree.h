// Where the check finds the build tree it belongs to (the folder above its own bin/), and the library
// search path it runs under: NVIDIA's libraries by default, the build's stand-ins when asked for.
#pragma once

#include <string>

namespace tevu::gpu_check {

struct BuildTree {
    std::string program;   // this program's own path
    std::string root;      // the build folder
    std::string platform;  // root/platform: the stand-ins
    std::string python;    // root/python: the host package with the modules
    std::string kernels_image;
    std::string scripts;   // root/share/gpu-check: the encode step's scripts

    static BuildTree of_this_program();
};

// The canonical form of a path, or the path itself when it does not exist.
std::string canonical(const std::string& path);

// LD_LIBRARY_PATH `current` with every entry naming `platform` removed, and `platform` put first when
// `stand_ins` is set. Empty entries are dropped (the loader reads them as the working directory).
std::string library_path_for(const std::string& current, const std::string& platform, bool stand_ins);

// Makes the process run under library_path_for(...): when LD_LIBRARY_PATH differs from it, sets it and
// executes this program again with the same arguments (the loader reads the variable only at start).
// Returns only when no new start was needed; throws std::runtime_error when the new start fails.
void settle_library_path(const BuildTree& tree, bool stand_ins, char** argv);

// The full path of an executable named `name` on PATH (or `name` itself when it holds a slash and is
// executable); empty when there is none.
std::string find_executable(const std::string& name);

}  // namespace tevu::gpu_check
