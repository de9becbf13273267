// Step 3: the NVENC library, the newest API it speaks, the entry-point table made with each module's
// version words, and an encode session opened on each device.
#pragma once

#include "driver_step.h"
#include "report.h"

#include <cstdint>
#include <vector>

namespace tevu::gpu_check {

// The API versions of the two encoder modules (major << 4 | minor).
inline constexpr std::uint32_t module_apis[] = {0x50, 0x40};

// Reports the library and the sessions. Returns the APIs for which every device that has NVENC opened a
// session, and at least one did; empty when the library is missing, no device has NVENC, or a step failed.
std::vector<std::uint32_t> check_nvenc(Report& report, const DriverFound& driver, const Options& options);

}  // namespace tevu::gpu_check
