// Step 2: the colour-conversion kernels' PTX loaded by the driver and run on a set of test pictures, the
// device's output compared byte for byte with the CPU versions.
#pragma once

#include "driver_step.h"
#include "report.h"

#include <string>

namespace tevu::gpu_check {

// One launch: the picture the host holds, the source size and pitch handed to the kernel, the output
// size, and whether the grid is cut to one block (so that the threads must stride over the output).
struct KernelCase {
    const char* kernel;
    int image_w, image_h;
    int src_w, src_h;
    int dst_w, dst_h;
    bool one_block;
};

// What a PTX file holds: real PTX (a ".target" directive) or the build's entry listing.
bool is_real_ptx(const std::string& image);

// Runs every case on every device. Returns whether the kernels can be used there: true when they all
// matched, false after a failure or a skip (an image that only the stand-in accepts).
bool check_kernels(Report& report, const DriverFound& driver, const std::string& image_path);

}  // namespace tevu::gpu_check
