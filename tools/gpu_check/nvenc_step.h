// Step 3: the NVENC library, the newest API it speaks, the entry-point table made with each module's
// version words, and an encode session opened on each device.
#pragma once

#include "driver_step.h"
#include "report.h"

#include <cstdint>
#include <vector>

namespace tevu::gpu_check {

// Reports the library and the sessions. Returns the APIs for which every device that has NVENC opened a
// session, and at least one did; empty when the library is missing, no device has NVENC, or a step failed.
// An API the library refuses because it is newer than the newest the library speaks (or the library is too
// old to tell) is a skip: that module needs a newer driver. Refused by a library that claims to speak it,
// it is a failure (the module's version words would be wrong).
std::vector<std::uint32_t> check_nvenc(Report& report, const DriverFound& driver, const Options& options);

}  // namespace tevu::gpu_check
