// CPU versions of the colour-conversion kernels, writing the same bytes as the CUDA ones.
#pragma once

#include "colour_conversion.h"

#include <string_view>

namespace tevu::standin::cuda {

using kernels::ConversionArgs;

void bgra_to_nv12(const ConversionArgs& args);
void bgra_to_yuv444(const ConversionArgs& args);

// A kernel the stand-in can run: its entry name, the CPU version, and how many bytes of the
// destination a launch with given arguments writes.
struct CpuKernel {
    std::string_view name;
    void (*run)(const ConversionArgs&);
    long long (*output_extent)(const ConversionArgs&);
};

// The kernel with this entry name, or null.
const CpuKernel* find_cpu_kernel(std::string_view name);

}  // namespace tevu::standin::cuda
