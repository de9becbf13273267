// The check's command line and environment controls.
#pragma once

#include <string>

namespace tevu::gpu_check {

struct Options {
    bool stand_ins = false;   // --stand-ins: the build's stand-ins instead of NVIDIA's libraries
    int frames = 60;          // --frames N: frames per encode in step 4
    int width = 640, height = 480;  // --size WxH: the encode size in step 4 (multiples of 32)
    std::string cuda_library;   // TEVU_GPU_CHECK_CUDA_LIBRARY; empty: the modules' names (cuda_driver_library)
    std::string nvenc_library;  // TEVU_GPU_CHECK_NVENC_LIBRARY; empty: the modules' names (nvenc_library)
};

inline constexpr const char* usage_text =
    "usage: gpu-check [--stand-ins] [--frames N] [--size WxH]\n"
    "       gpu-check --reference-yuv444 WxH < frames.bgrx > frames.yuv\n";

}  // namespace tevu::gpu_check
