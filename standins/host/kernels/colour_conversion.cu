// The colour-conversion kernels: BGRX pixels to NV12 or planar YUV444, with scaling. Launched with
// 16x16 thread blocks; each thread converts one 2x2 block (NV12) or one pixel (YUV444) and strides
// over the grid, so every launch geometry covers the whole output.
#include "colour_conversion.h"

using tevu::kernels::ConversionArgs;

namespace {

__device__ ConversionArgs make_args(const unsigned char* src, int src_width, int src_height, int src_pitch,
                                    unsigned char* dst, int dst_width, int dst_height, int dst_pitch,
                                    int image_width, int image_height) {
    ConversionArgs a;
    a.src = src;
    a.src_width = src_width;
    a.src_height = src_height;
    a.src_pitch = src_pitch;
    a.dst = dst;
    a.dst_width = dst_width;
    a.dst_height = dst_height;
    a.dst_pitch = dst_pitch;
    a.image_width = image_width;
    a.image_height = image_height;
    return a;
}

__device__ int first_x() { return blockIdx.x * blockDim.x + threadIdx.x; }
__device__ int first_y() { return blockIdx.y * blockDim.y + threadIdx.y; }
__device__ int stride_x() { return gridDim.x * blockDim.x; }
__device__ int stride_y() { return gridDim.y * blockDim.y; }

}  // namespace

extern "C" __global__ void BGRA_to_NV12(const unsigned char* src, int src_width, int src_height, int src_pitch,
                                        unsigned char* dst, int dst_width, int dst_height, int dst_pitch,
                                        int image_width, int image_height) {
    ConversionArgs a = make_args(src, src_width, src_height, src_pitch, dst, dst_width, dst_height, dst_pitch,
                                 image_width, image_height);
    if (!tevu::kernels::arguments_valid(a)) return;
    int blocks_x = tevu::kernels::nv12_blocks(dst_width);
    int blocks_y = tevu::kernels::nv12_blocks(dst_height);
    for (int by = first_y(); by < blocks_y; by += stride_y()) {
        int sy[2];
        tevu::kernels::nv12_block_rows(a, by, sy);
        for (int bx = first_x(); bx < blocks_x; bx += stride_x()) {
            int sx[2];
            tevu::kernels::nv12_block_columns(a, bx, sx);
            tevu::kernels::convert_nv12_block(a, bx, by, sx, sy);
        }
    }
}

extern "C" __global__ void BGRA_to_YUV444(const unsigned char* src, int src_width, int src_height, int src_pitch,
                                          unsigned char* dst, int dst_width, int dst_height, int dst_pitch,
                                          int image_width, int image_height) {
    ConversionArgs a = make_args(src, src_width, src_height, src_pitch, dst, dst_width, dst_height, dst_pitch,
                                 image_width, image_height);
    if (!tevu::kernels::arguments_valid(a)) return;
    for (int y = first_y(); y < dst_height; y += stride_y()) {
        int sy = tevu::kernels::source_row(a, y);
        for (int x = first_x(); x < dst_width; x += stride_x())
            tevu::kernels::convert_yuv444_pixel(a, x, y, tevu::kernels::source_column(a, x), sy);
    }
}
