// A straightforward reference of the colour conversion, written from the formulas (floating point),
// and synthetic pictures for the kernel tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace tevu::cuda::testing {

struct Yuv {
    double y, u, v;
};

// BT.601 limited range from 8-bit R, G, B.
inline Yuv bt601_limited(double r, double g, double b) {
    return {16.0 + 219.0 * (0.299 * r + 0.587 * g + 0.114 * b) / 255.0,
            128.0 + 224.0 * (-0.168736 * r - 0.331264 * g + 0.5 * b) / 255.0,
            128.0 + 224.0 * (0.5 * r - 0.418688 * g - 0.081312 * b) / 255.0};
}

// The source pixel under the centre of output pixel `x` when `dst` pixels cover `src`, kept below `limit`.
inline int reference_source(int x, int dst, int src, int limit) {
    int s = static_cast<int>(std::floor((x + 0.5) * src / dst));
    return std::min(s, limit - 1);
}

// A BGRX picture with its own pitch; the padding bytes of each row hold `padding`.
struct Picture {
    int width, height, pitch;
    std::vector<std::uint8_t> bytes;

    Picture(int w, int h, int row_pitch, std::uint8_t padding = 0xEE)
        : width(w), height(h), pitch(row_pitch), bytes(static_cast<std::size_t>(row_pitch) * h, padding) {}

    std::uint8_t* pixel(int x, int y) { return &bytes[static_cast<std::size_t>(y) * pitch + 4 * x]; }
    const std::uint8_t* pixel(int x, int y) const { return &bytes[static_cast<std::size_t>(y) * pitch + 4 * x]; }
    void set(int x, int y, int r, int g, int b) {
        std::uint8_t* p = pixel(x, y);
        p[0] = static_cast<std::uint8_t>(b);
        p[1] = static_cast<std::uint8_t>(g);
        p[2] = static_cast<std::uint8_t>(r);
        p[3] = 0xFF;
    }
};

// Pseudo-random pixels with some flat areas, like a desktop.
inline Picture synthetic_picture(int w, int h, int pitch, unsigned seed = 1) {
    Picture picture(w, h, pitch);
    std::uint32_t state = seed * 2654435761u + 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            state = state * 1664525u + 1013904223u;
            bool flat = ((x / 8) + (y / 8)) % 3 == 0;
            picture.set(x, y, flat ? 200 : (state >> 24) & 0xFF, flat ? 30 : (state >> 16) & 0xFF,
                        flat ? 90 : (state >> 8) & 0xFF);
        }
    return picture;
}

}  // namespace tevu::cuda::testing
