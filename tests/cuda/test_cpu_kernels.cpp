// The CPU versions of the conversion kernels against the reference formulas: values, layout, scaling,
// odd sizes, pitches and the bytes they must leave alone.
#include "cpu_kernels.h"
#include "kernel_reference.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tevu::cuda::testing {
namespace {

using standin::cuda::ConversionArgs;

constexpr std::uint8_t canary = 0xC3;

// Output planes with room (and canaries) around them.
struct Planes {
    int width, height, pitch, rows;
    std::vector<std::uint8_t> bytes;
    Planes(int w, int h, int row_pitch, int plane_rows, int spare_rows = 2)
        : width(w), height(h), pitch(row_pitch), rows(plane_rows),
          bytes(static_cast<std::size_t>(row_pitch) * (plane_rows + spare_rows), canary) {}
    std::uint8_t at(std::size_t offset) const { return bytes[offset]; }
};

ConversionArgs args_for(const Picture& src, int src_w, int src_h, Planes& dst, int image_w, int image_h) {
    return ConversionArgs{src.bytes.data(), src_w, src_h, src.pitch, dst.bytes.data(), dst.width, dst.height,
                          dst.pitch, image_w, image_h};
}

// Within half a step (plus the fixed point's slack) of the exact value: the correctly rounded byte.
constexpr double rounded = 0.502;
// Block averages are rounded to whole RGB values before the conversion.
constexpr double averaged = 1.0;

void expect_near(double reference, int actual, const char* what, int x, int y, double tolerance = rounded) {
    EXPECT_LE(std::abs(reference - actual), tolerance) << what << " at " << x << "," << y << ": reference " << reference
                                                 << ", kernel " << actual;
}

struct KnownColour {
    const char* name;
    int r, g, b;
    int y, u, v;
};

void PrintTo(const KnownColour& c, std::ostream* os) { *os << c.name; }

class KnownColours : public ::testing::TestWithParam<KnownColour> {};

TEST_P(KnownColours, ConvertToTheirLimitedRangeValues) {
    const KnownColour& c = GetParam();
    Picture src(2, 2, 8);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) src.set(x, y, c.r, c.g, c.b);
    Planes yuv444(2, 2, 2, 6, 0);
    standin::cuda::bgra_to_yuv444(args_for(src, 2, 2, yuv444, 2, 2));
    Planes nv12(2, 2, 2, 3, 0);
    standin::cuda::bgra_to_nv12(args_for(src, 2, 2, nv12, 2, 2));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(yuv444.at(i), c.y) << c.name;
        EXPECT_EQ(yuv444.at(4 + i), c.u) << c.name;
        EXPECT_EQ(yuv444.at(8 + i), c.v) << c.name;
        EXPECT_EQ(nv12.at(i), c.y) << c.name;
    }
    EXPECT_EQ(nv12.at(4), c.u) << c.name;
    EXPECT_EQ(nv12.at(5), c.v) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Bt601, KnownColours,
                         ::testing::Values(KnownColour{"black", 0, 0, 0, 16, 128, 128},
                                           KnownColour{"white", 255, 255, 255, 235, 128, 128},
                                           KnownColour{"red", 255, 0, 0, 81, 90, 240},
                                           KnownColour{"green", 0, 255, 0, 145, 54, 34},
                                           KnownColour{"blue", 0, 0, 255, 41, 240, 110}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CpuKernels, Yuv444MatchesTheFormulaAcrossTheColourCube) {
    const int steps = 16;  // 16^3 colours, one per pixel
    Picture src(steps * steps, steps, steps * steps * 4);
    for (int r = 0; r < steps; ++r)
        for (int g = 0; g < steps; ++g)
            for (int b = 0; b < steps; ++b) src.set(r * steps + g, b, r * 17, g * 17, b * 17);
    Planes dst(src.width, src.height, src.width, 3 * src.height);
    standin::cuda::bgra_to_yuv444(args_for(src, src.width, src.height, dst, src.width, src.height));
    const std::size_t plane = static_cast<std::size_t>(dst.pitch) * dst.height;
    for (int y = 0; y < src.height; ++y)
        for (int x = 0; x < src.width; ++x) {
            const std::uint8_t* p = src.pixel(x, y);
            Yuv ref = bt601_limited(p[2], p[1], p[0]);
            std::size_t at = static_cast<std::size_t>(y) * dst.pitch + x;
            expect_near(ref.y, dst.at(at), "Y", x, y);
            expect_near(ref.u, dst.at(plane + at), "U", x, y);
            expect_near(ref.v, dst.at(2 * plane + at), "V", x, y);
        }
}

// Geometry cases for both layouts: source size, image size, output size, pitches.
struct Geometry {
    const char* name;
    int src_w, src_h, image_w, image_h, dst_w, dst_h, src_pitch_extra, dst_pitch_extra;
};

void PrintTo(const Geometry& g, std::ostream* os) { *os << g.name; }

const Geometry geometries[] = {
    {"same_size", 64, 32, 64, 32, 64, 32, 0, 0},
    {"padded_pitches", 48, 20, 48, 20, 48, 20, 36, 16},
    {"downscale_two_thirds", 96, 48, 96, 48, 64, 32, 0, 0},
    {"upscale", 20, 10, 20, 10, 64, 32, 8, 0},
    {"odd_output", 7, 5, 7, 5, 7, 5, 4, 3},
    {"image_smaller_than_source", 64, 32, 50, 27, 64, 32, 0, 0},
    {"one_pixel", 1, 1, 1, 1, 1, 1, 0, 5},
};

class KernelGeometry : public ::testing::TestWithParam<Geometry> {
protected:
    Picture source() const {
        const Geometry& g = GetParam();
        return synthetic_picture(g.src_w, g.src_h, 4 * g.src_w + g.src_pitch_extra, 7);
    }
    // The reference sample for output (x, y), repeating the image's edge.
    const std::uint8_t* sample(const Picture& src, int x, int y) const {
        const Geometry& g = GetParam();
        return src.pixel(reference_source(x, g.dst_w, g.src_w, std::min(g.src_w, g.image_w)),
                         reference_source(y, g.dst_h, g.src_h, std::min(g.src_h, g.image_h)));
    }
};

TEST_P(KernelGeometry, Yuv444SamplesTheNearestSourcePixelAndStaysInItsPlanes) {
    const Geometry& g = GetParam();
    Picture src = source();
    Planes dst(g.dst_w, g.dst_h, g.dst_w + g.dst_pitch_extra, 3 * g.dst_h);
    standin::cuda::bgra_to_yuv444(args_for(src, g.src_w, g.src_h, dst, g.image_w, g.image_h));
    const std::size_t plane = static_cast<std::size_t>(dst.pitch) * g.dst_h;
    for (int y = 0; y < g.dst_h; ++y) {
        for (int x = 0; x < g.dst_w; ++x) {
            const std::uint8_t* p = sample(src, x, y);
            Yuv ref = bt601_limited(p[2], p[1], p[0]);
            std::size_t at = static_cast<std::size_t>(y) * dst.pitch + x;
            expect_near(ref.y, dst.at(at), "Y", x, y);
            expect_near(ref.u, dst.at(plane + at), "U", x, y);
            expect_near(ref.v, dst.at(2 * plane + at), "V", x, y);
        }
        for (int x = g.dst_w; x < dst.pitch; ++x)
            for (int k = 0; k < 3; ++k)
                EXPECT_EQ(dst.at(k * plane + static_cast<std::size_t>(y) * dst.pitch + x), canary) << "pitch padding";
    }
    for (std::size_t at = 3 * plane; at < dst.bytes.size(); ++at) ASSERT_EQ(dst.at(at), canary) << "past the planes";
}

TEST_P(KernelGeometry, Nv12AveragesChromaOverTwoByTwoBlocksAndStaysInItsPlanes) {
    const Geometry& g = GetParam();
    Picture src = source();
    Planes dst(g.dst_w, g.dst_h, g.dst_w + g.dst_pitch_extra, g.dst_h + g.dst_h / 2);
    standin::cuda::bgra_to_nv12(args_for(src, g.src_w, g.src_h, dst, g.image_w, g.image_h));
    const std::size_t plane = static_cast<std::size_t>(dst.pitch) * g.dst_h;
    for (int y = 0; y < g.dst_h; ++y)
        for (int x = 0; x < dst.pitch; ++x) {
            std::size_t at = static_cast<std::size_t>(y) * dst.pitch + x;
            if (x >= g.dst_w) {
                EXPECT_EQ(dst.at(at), canary) << "luma pitch padding";
                continue;
            }
            const std::uint8_t* p = sample(src, x, y);
            expect_near(bt601_limited(p[2], p[1], p[0]).y, dst.at(at), "Y", x, y);
        }
    for (int by = 0; by < g.dst_h / 2; ++by)
        for (int bx = 0; bx < g.dst_w / 2; ++bx) {
            double r = 0, gr = 0, b = 0;
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i) {
                    const std::uint8_t* p = sample(src, 2 * bx + i, 2 * by + j);
                    r += p[2] / 4.0, gr += p[1] / 4.0, b += p[0] / 4.0;
                }
            Yuv ref = bt601_limited(r, gr, b);
            std::size_t at = plane + static_cast<std::size_t>(by) * dst.pitch + 2 * bx;
            expect_near(ref.u, dst.at(at), "U", bx, by, averaged);
            expect_near(ref.v, dst.at(at + 1), "V", bx, by, averaged);
        }
    // Nothing beyond the interleaved pairs of each chroma row, nor after the chroma rows.
    for (int by = 0; by < g.dst_h / 2; ++by)
        for (int x = 2 * (g.dst_w / 2); x < dst.pitch; ++x)
            EXPECT_EQ(dst.at(plane + static_cast<std::size_t>(by) * dst.pitch + x), canary) << "chroma padding";
    for (std::size_t at = plane + static_cast<std::size_t>(dst.pitch) * (g.dst_h / 2); at < dst.bytes.size(); ++at)
        ASSERT_EQ(dst.at(at), canary) << "past the planes";
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelGeometry, ::testing::ValuesIn(geometries),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CpuKernels, NeverReadTheSourceRowPaddingOrPastTheImage) {
    // Two sources with the same image but different bytes in the row padding and outside the image
    // give the same output.
    Picture a = synthetic_picture(40, 20, 4 * 40 + 24, 3);
    Picture b = a;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40 + 6; ++x)
            if (x >= 30 || y >= 15) b.bytes[static_cast<std::size_t>(y) * b.pitch + 4 * x] ^= 0x5A;
    Planes out_a(40, 20, 40, 30), out_b(40, 20, 40, 30);
    standin::cuda::bgra_to_nv12(args_for(a, 40, 20, out_a, 30, 15));
    standin::cuda::bgra_to_nv12(args_for(b, 40, 20, out_b, 30, 15));
    EXPECT_EQ(out_a.bytes, out_b.bytes);
}

TEST(CpuKernels, InvalidArgumentsWriteNothing) {
    Picture src = synthetic_picture(8, 8, 32);
    struct Case {
        const char* name;
        ConversionArgs change;
    };
    const ConversionArgs good{nullptr, 8, 8, 32, nullptr, 8, 8, 8, 8, 8};
    auto with = [&](auto edit) {
        ConversionArgs a = good;
        edit(a);
        return a;
    };
    const Case cases[] = {
        {"zero source width", with([](ConversionArgs& a) { a.src_width = 0; })},
        {"negative image height", with([](ConversionArgs& a) { a.image_height = -1; })},
        {"source pitch below the row", with([](ConversionArgs& a) { a.src_pitch = 31; })},
        {"output pitch below the width", with([](ConversionArgs& a) { a.dst_pitch = 7; })},
        {"zero output height", with([](ConversionArgs& a) { a.dst_height = 0; })},
    };
    for (const Case& c : cases) {
        Planes dst(8, 8, 8, 24);
        ConversionArgs a = c.change;
        a.src = src.bytes.data();
        a.dst = dst.bytes.data();
        standin::cuda::bgra_to_nv12(a);
        standin::cuda::bgra_to_yuv444(a);
        for (std::uint8_t byte : dst.bytes) ASSERT_EQ(byte, canary) << c.name;
    }
}

TEST(CpuKernels, AreFoundByTheirEntryNames) {
    ASSERT_NE(standin::cuda::find_cpu_kernel("BGRA_to_NV12"), nullptr);
    ASSERT_NE(standin::cuda::find_cpu_kernel("BGRA_to_YUV444"), nullptr);
    EXPECT_EQ(standin::cuda::find_cpu_kernel("BGRA_to_NV12")->run, &standin::cuda::bgra_to_nv12);
    EXPECT_EQ(standin::cuda::find_cpu_kernel("BGRA_to_YUV444")->run, &standin::cuda::bgra_to_yuv444);
    EXPECT_EQ(standin::cuda::find_cpu_kernel("BGRA_to_RGB"), nullptr);
    EXPECT_EQ(standin::cuda::find_cpu_kernel("bgra_to_nv12"), nullptr);
}

}  // namespace
}  // namespace tevu::cuda::testing
