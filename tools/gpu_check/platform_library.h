// NVIDIA's driver libraries as the check opens them: by name through the loader's normal search, and
// then identified by where they were found and whether they are the project's stand-ins (which export
// tevu_platform_standin).
#pragma once

#include "dynamic_library.h"
#include "report.h"

#include <memory>
#include <optional>
#include <string>

namespace tevu::gpu_check {

struct PlatformLibrary {
    std::shared_ptr<cuda::DynamicLibrary> library;
    std::string path;      // the file the loader mapped, links resolved
    bool stand_in = false;
};

// Opens `name`; LibraryError (the loader's text) when it cannot.
PlatformLibrary open_platform_library(const std::string& name);

// Why `found` is not the library the check asked for (a stand-in by default, anything else with
// --stand-ins), or nothing when it is.
std::optional<std::string> refusal(const PlatformLibrary& found, const std::string& name, bool stand_ins);

// Opens `name` for a step of the check: nothing, after a skip line "no <missing>: <why>", when it cannot
// be loaded or is not the library asked for.
std::optional<PlatformLibrary> open_for_step(Report& report, const char* step, const std::string& missing,
                                             const std::string& name, bool stand_ins);

// The NVIDIA kernel module's version ("535.104.05") from /proc/driver/nvidia/version, else from the
// driver library's file name (libcuda.so.535.104.05); empty when neither tells.
std::string nvidia_driver_version(const std::string& library_path);

}  // namespace tevu::gpu_check
