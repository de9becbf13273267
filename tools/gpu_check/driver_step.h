// Step 1: the CUDA driver library, its versions and the devices.
#pragma once

#include "cuda_layer.h"
#include "options.h"
#include "report.h"

#include <optional>
#include <vector>

namespace tevu::gpu_check {

struct DriverFound {
    cuda::DriverPtr driver;
    std::vector<cuda::Device> devices;
    bool stand_in = false;
};

// Reports the driver and its devices. Nothing when there is no driver to check (a skip line: the library
// is missing, is the stand-in or is the toolkit's stub) or the driver failed (FAIL); a driver without
// devices (cuInit: no device, or none counted) comes back with an empty device list after a skip line.
std::optional<DriverFound> check_driver(Report& report, const Options& options);

}  // namespace tevu::gpu_check
