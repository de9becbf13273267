#include "cpu_kernels.h"

#include <vector>

namespace tevu::standin::cuda {

namespace k = tevu::kernels;

void bgra_to_nv12(const ConversionArgs& a) {
    if (!k::arguments_valid(a)) return;
    const int blocks_x = k::nv12_blocks(a.dst_width);
    const int blocks_y = k::nv12_blocks(a.dst_height);
    std::vector<int> columns(2 * static_cast<std::size_t>(blocks_x));
    for (int bx = 0; bx < blocks_x; ++bx) k::nv12_block_columns(a, bx, &columns[2 * bx]);
    for (int by = 0; by < blocks_y; ++by) {
        int rows[2];
        k::nv12_block_rows(a, by, rows);
        for (int bx = 0; bx < blocks_x; ++bx) k::convert_nv12_block(a, bx, by, &columns[2 * bx], rows);
    }
}

void bgra_to_yuv444(const ConversionArgs& a) {
    if (!k::arguments_valid(a)) return;
    std::vector<int> columns(static_cast<std::size_t>(a.dst_width));
    for (int x = 0; x < a.dst_width; ++x) columns[x] = k::source_column(a, x);
    for (int y = 0; y < a.dst_height; ++y) {
        const int row = k::source_row(a, y);
        for (int x = 0; x < a.dst_width; ++x) k::convert_yuv444_pixel(a, x, y, columns[x], row);
    }
}

namespace {

const CpuKernel cpu_kernels[] = {
    {"BGRA_to_NV12", bgra_to_nv12, k::nv12_extent},
    {"BGRA_to_YUV444", bgra_to_yuv444, k::yuv444_extent},
};

}  // namespace

const CpuKernel* find_cpu_kernel(std::string_view name) {
    for (const CpuKernel& kernel : cpu_kernels)
        if (kernel.name == name) return &kernel;
    return nullptr;
}

}  // namespace tevu::standin::cuda
