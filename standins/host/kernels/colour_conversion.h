// Per-pixel arithmetic of the BGRX colour-conversion kernels, shared by the CUDA source and the CPU
// versions so that both write the same bytes: integer arithmetic only, BT.601 limited range, nearest
// source pixel (by pixel centres) when scaling, source reads kept inside the image's own size.
#pragma once

#if defined(__CUDACC__)
#define TEVU_KERNEL_FN __host__ __device__ __forceinline__
#else
#define TEVU_KERNEL_FN inline
#endif

namespace tevu::kernels {

// A kernel's argument list, in launch order.
struct ConversionArgs {
    const unsigned char* src;  // BGRX pixels, src_pitch bytes per row
    int src_width, src_height, src_pitch;
    unsigned char* dst;  // output planes, dst_pitch bytes per row
    int dst_width, dst_height, dst_pitch;
    int image_width, image_height;  // the part of the source that holds the image
};

TEVU_KERNEL_FN int min_int(int a, int b) { return a < b ? a : b; }

// Sizes a launch can work with; the kernels do nothing otherwise.
TEVU_KERNEL_FN bool arguments_valid(const ConversionArgs& a) {
    return a.src_width > 0 && a.src_height > 0 && a.dst_width > 0 && a.dst_height > 0 && a.image_width > 0 &&
           a.image_height > 0 && a.src_pitch >= 4 * min_int(a.src_width, a.image_width) &&
           a.dst_pitch >= a.dst_width;
}

// The source columns and rows that the kernels may read.
TEVU_KERNEL_FN int readable_columns(const ConversionArgs& a) { return min_int(a.src_width, a.image_width); }
TEVU_KERNEL_FN int readable_rows(const ConversionArgs& a) { return min_int(a.src_height, a.image_height); }

// Bytes from the start of the source that a launch reads, and of the destination that it writes.
TEVU_KERNEL_FN long long source_extent(const ConversionArgs& a) {
    return (long long)(readable_rows(a) - 1) * a.src_pitch + 4LL * readable_columns(a);
}
TEVU_KERNEL_FN long long plane_bytes(const ConversionArgs& a) { return (long long)a.dst_pitch * a.dst_height; }
TEVU_KERNEL_FN long long nv12_extent(const ConversionArgs& a) {
    return plane_bytes(a) + (long long)a.dst_pitch * (a.dst_height / 2);
}
TEVU_KERNEL_FN long long yuv444_extent(const ConversionArgs& a) { return 3 * plane_bytes(a); }

// The source coordinate sampled for output coordinate `x`: the pixel under the output pixel's centre,
// clamped to the `readable` range (the edge pixel repeats beyond the image).
TEVU_KERNEL_FN int source_coordinate(int x, int dst_size, int src_size, int readable) {
    long long s = ((2LL * x + 1) * src_size) / (2LL * dst_size);
    return s < readable ? (int)s : readable - 1;
}
TEVU_KERNEL_FN int source_column(const ConversionArgs& a, int x) {
    return source_coordinate(x, a.dst_width, a.src_width, readable_columns(a));
}
TEVU_KERNEL_FN int source_row(const ConversionArgs& a, int y) {
    return source_coordinate(y, a.dst_height, a.src_height, readable_rows(a));
}

// BT.601 limited range in 16-bit fixed point (coefficients rounded from 219/255 and 224/255 of the
// standard weights), rounding to nearest; the offsets keep the chroma sums non-negative before the shift.
TEVU_KERNEL_FN unsigned char fixed_point_to_byte(int sum, int offset) {
    return (unsigned char)((sum + (1 << 15) + (offset << 16)) >> 16);
}
TEVU_KERNEL_FN unsigned char luma(int r, int g, int b) {
    return fixed_point_to_byte(16829 * r + 33039 * g + 6416 * b, 16);
}
TEVU_KERNEL_FN unsigned char chroma_u(int r, int g, int b) {
    return fixed_point_to_byte(-9714 * r - 19070 * g + 28784 * b, 128);
}
TEVU_KERNEL_FN unsigned char chroma_v(int r, int g, int b) {
    return fixed_point_to_byte(28784 * r - 24103 * g - 4681 * b, 128);
}

TEVU_KERNEL_FN const unsigned char* source_pixel(const ConversionArgs& a, int sx, int sy) {
    return a.src + (long long)sy * a.src_pitch + 4LL * sx;
}

// One output pixel of the planar 4:4:4 layout (Y, U and V planes of dst_height rows each), read from
// source pixel (sx, sy).
TEVU_KERNEL_FN void convert_yuv444_pixel(const ConversionArgs& a, int x, int y, int sx, int sy) {
    const unsigned char* p = source_pixel(a, sx, sy);
    int b = p[0], g = p[1], r = p[2];
    long long at = (long long)y * a.dst_pitch + x;
    long long plane = plane_bytes(a);
    a.dst[at] = luma(r, g, b);
    a.dst[plane + at] = chroma_u(r, g, b);
    a.dst[2 * plane + at] = chroma_v(r, g, b);
}

// One 2x2 block (bx, by) of the NV12 layout: up to four luma samples, and when the block is complete
// one interleaved U,V pair from the rounded average of its four source pixels. `sx` and `sy` are the
// source columns and rows of the block's two output columns and rows.
TEVU_KERNEL_FN void convert_nv12_block(const ConversionArgs& a, int bx, int by, const int sx[2], const int sy[2]) {
    int sum_r = 0, sum_g = 0, sum_b = 0;
    for (int j = 0; j < 2; ++j) {
        int y = 2 * by + j;
        for (int i = 0; i < 2; ++i) {
            int x = 2 * bx + i;
            const unsigned char* p = source_pixel(a, sx[i], sy[j]);
            int b = p[0], g = p[1], r = p[2];
            sum_r += r;
            sum_g += g;
            sum_b += b;
            if (x < a.dst_width && y < a.dst_height) a.dst[(long long)y * a.dst_pitch + x] = luma(r, g, b);
        }
    }
    if (bx >= a.dst_width / 2 || by >= a.dst_height / 2) return;
    int r = (sum_r + 2) >> 2, g = (sum_g + 2) >> 2, b = (sum_b + 2) >> 2;
    unsigned char* uv = a.dst + plane_bytes(a) + (long long)by * a.dst_pitch + 2 * bx;
    uv[0] = chroma_u(r, g, b);
    uv[1] = chroma_v(r, g, b);
}

// NV12 blocks per row and column (a last odd column or row gets luma only).
TEVU_KERNEL_FN int nv12_blocks(int size) { return (size + 1) / 2; }

// The source coordinates of NV12 block column bx (or row by) of an output of `dst_size`.
TEVU_KERNEL_FN void nv12_block_columns(const ConversionArgs& a, int bx, int sx[2]) {
    sx[0] = source_column(a, 2 * bx);
    sx[1] = source_column(a, min_int(2 * bx + 1, a.dst_width - 1));
}
TEVU_KERNEL_FN void nv12_block_rows(const ConversionArgs& a, int by, int sy[2]) {
    sy[0] = source_row(a, 2 * by);
    sy[1] = source_row(a, min_int(2 * by + 1, a.dst_height - 1));
}

}  // namespace tevu::kernels
