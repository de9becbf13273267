// Step 4: the encoder modules themselves, driven through their Python interface by encode_check.py:
// init_module, then an encode at 4:2:0, 4:4:4 and lossless, decoded with ffmpeg and compared with the source.
#pragma once

#include "build_tree.h"
#include "options.h"
#include "report.h"

#include <cstdint>
#include <vector>

namespace tevu::gpu_check {

// Runs the encode step for the given module APIs; reports a skip (with the reason) when Python,
// the built modules or ffmpeg are missing.
void check_encoding(Report& report, const BuildTree& tree, const Options& options,
                    const std::vector<std::uint32_t>& apis);

// --reference-yuv444 WxH: BGRX frames from standard input to planar 4:4:4 on standard output, with the
// CPU version of the kernel (what a lossless encode must reproduce). Returns the exit status.
int write_reference_yuv444(int width, int height);

}  // namespace tevu::gpu_check
