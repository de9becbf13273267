// NVIDIA's driver libraries as the check opens them: under the names the modules open (or one chosen
// name) through the loader's normal search, and then identified by where they were found, their version,
// and whether they are the project's stand-ins (which export tevu_platform_standin).
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
    // The name it was opened by (one of the names looked for).
    const std::string& name() const { return library->name(); }
};

// What the check looks for: the modules' names (`modules`) when `chosen` (a TEVU_GPU_CHECK_* value) is
// empty, else that one name or path.
cuda::LibraryNames names_to_check(const std::string& chosen, const cuda::LibraryNames& modules);

// Opens the first of the names that loads; LibraryError (the loader's texts) when none does.
PlatformLibrary open_platform_library(const cuda::LibraryNames& names);

// Why `found` is not the library the check asked for (a stand-in by default, anything else with
// --stand-ins), or nothing when it is.
std::optional<std::string> refusal(const PlatformLibrary& found, bool stand_ins);

// Opens the library for a step of the check: nothing, after a skip line "no <missing>: <why>", when it
// cannot be loaded or is not the library asked for.
std::optional<PlatformLibrary> open_for_step(Report& report, const char* step, const std::string& missing,
                                             const cuda::LibraryNames& names, bool stand_ins);

// " (stand-in)", else ", version <v>" when the file's name tells it (libnvidia-encode.so.535.261.03).
std::string library_detail(const PlatformLibrary& found);

// The NVIDIA kernel module's version ("535.104.05") from /proc/driver/nvidia/version, else from the
// driver library's file name (libcuda.so.535.104.05); empty when neither tells.
std::string nvidia_driver_version(const std::string& library_path);

}  // namespace tevu::gpu_check
