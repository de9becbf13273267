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
    "usage: gpu-check [--stand-ins] [--frames N] [--size WxH] [--help] [--version]\n"
    "       gpu-check --reference-yuv444 WxH < frames.bgrx > frames.yuv\n"
    "\n"
    "Checks whether the encoder modules work with this machine's NVIDIA driver: the driver, the colour\n"
    "conversion kernels, NVENC sessions, and encodes decoded again with ffmpeg.\n"
    "\n"
    "  --stand-ins         check against the build's stand-ins instead of NVIDIA's libraries\n"
    "  --frames N          frames per encode in step 4, a positive number (default 60)\n"
    "  --size WxH          the encode size in step 4, multiples of 32 (default 640x480)\n"
    "  --reference-yuv444  convert BGRX frames of WxH to planar 4:4:4 with the CPU kernel\n"
    "  --help              show this text; --version: the project version\n"
    "tools/gpu-check also takes --build DIR (default: build/ beside tools/), anywhere among these.\n"
    "Exit status: 0 when everything that could run passed, 1 when a check failed, 2 for a bad command line.\n";

}  // namespace tevu::gpu_check
