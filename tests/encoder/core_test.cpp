// Unit tests of the encoder's pure C++ core: GUID codec, tables, arithmetic and pixel staging.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "api_traits.h"
#include "codec.h"
#include "guid.h"
#include "policy.h"
#include "preset_choice.h"
#include "staging.h"
#include "tables.h"

namespace tevu::nvenc {
namespace {

// --- GUID codec ---------------------------------------------------------------------------------------
TEST(Guid, RoundTripNormalisesCase) {
    const std::string lower = "6bc82762-4e63-4ca4-aa85-1e50f321f6bf";
    const Guid g = parse_guid(lower);
    EXPECT_EQ(g.Data1, 0x6BC82762u);
    EXPECT_EQ(g.Data2, 0x4E63);
    EXPECT_EQ(g.Data3, 0x4CA4);
    const uint8_t tail[8] = {0xAA, 0x85, 0x1E, 0x50, 0xF3, 0x21, 0xF6, 0xBF};
    EXPECT_EQ(0, std::memcmp(g.Data4, tail, 8));
    EXPECT_EQ(guid_text(g), "6BC82762-4E63-4CA4-AA85-1E50F321F6BF");
}

TEST(Guid, ZeroBytesKeepTwoDigits) {
    const Guid g{0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 0x4}};
    EXPECT_EQ(guid_text(g), "00000001-0002-0003-0000-000000000004");
}

struct BadGuid {
    const char* text;
    const char* message;
};

class GuidErrors : public ::testing::TestWithParam<BadGuid> {};

TEST_P(GuidErrors, FirstFaultIsReported) {
    try {
        parse_guid(GetParam().text);
        FAIL() << "accepted " << GetParam().text;
    } catch (const GuidFormatError& e) {
        EXPECT_STREQ(e.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, GuidErrors,
    ::testing::Values(
        BadGuid{"{CE788D20-AAA9-4318-92BB-AC7E858C8D36}", "invalid GUID format: expected 36 characters but got 38"},
        BadGuid{"", "invalid GUID format: expected 36 characters but got 0"},
        BadGuid{"GE788D20-AAA9-4318-92BB-AC7E858C8D36", "invalid GUID format: character at position 0 is not in hex"},
        BadGuid{"CE788D200AAA9-4318-92BB-AC7E858C8D36", "invalid GUID format: character at position 8 is not '-'"},
        BadGuid{"CE788D20-AAA9-4318-92BB-AC7E858C8D3-", "invalid GUID format: character at position 35 is not in hex"},
        BadGuid{"CE7-8D20-AAA9-4318-92BB0AC7E858C8D36", "invalid GUID format: character at position 3 is not in hex"},
        BadGuid{"CE788D20-AAA9-4318-92BB-AC7E858C8D3G", "invalid GUID format: character at position 35 is not in hex"},
        BadGuid{"CE788D20-AAA9x4318y92BB-AC7E858C8D36", "invalid GUID format: character at position 13 is not '-'"}));

// --- tables ------------------------------------------------------------------------------------------
TEST(Tables, NamesAndFallbacks) {
    EXPECT_STREQ(codec_name("6BC82762-4E63-4CA4-AA85-1E50F321F6BF"), "H264");
    EXPECT_EQ(codec_name("00000000-0000-0000-0000-000000000000"), nullptr);
    // an encoding's codec is the one of that name in the codec table; other encodings have none
    ASSERT_NE(find_codec("h264"), nullptr);
    EXPECT_STREQ(codec_name(guid_text(find_codec("h264")->guid())), find_codec("h264")->name());
    for (const char* unknown : {"H264", "vp8", "h264 ", ""}) EXPECT_EQ(find_codec(unknown), nullptr) << unknown;
    EXPECT_STREQ(preset_name("7ADD423D-D035-4F6F-AEA5-50885658643C"), "streaming");
    EXPECT_STREQ(buffer_format_name(0x1000), "YUV444_PL");
    EXPECT_TRUE(is_lossless_preset("lossless-hp"));
    EXPECT_FALSE(is_lossless_preset("hq"));
    ASSERT_NE(preset_rank("low-latency-hp"), nullptr);
    EXPECT_EQ(preset_rank("low-latency-hp")->speed, 100);
    EXPECT_EQ(preset_rank("unknown"), nullptr);
}

TEST(Tables, StatusInfo) {
    EXPECT_EQ(status_info(0), "0: This indicates that API call returned with no errors.");
    EXPECT_EQ(status_info(26), "26");
    EXPECT_EQ(status_info(21), "21");
    EXPECT_EQ(status_info(-1), "-1");
    EXPECT_EQ(status_info(17).substr(0, 5), "17: \n");
    EXPECT_EQ(status_texts().size, 25u);
}

// Each API's capability names: how many, and the name of capability 9 (stereo MVC, gone in API 5.0).
struct CapsOfApi {
    uint32_t api;
    std::size_t count;
    const char* cap9;
};
constexpr CapsOfApi kCapsOfApis[] = {
    {NVENC_API_V5, 34, nullptr},
    {NVENC_API_V4, 35, "SUPPORT_STEREO_MVC"},
};

TEST(Tables, CapsNamesOfThisApi) {
    EXPECT_EQ(caps_name(32), nullptr);
    EXPECT_STREQ(caps_name(35), "EXPOSED_COUNT");
    const CapsOfApi* expected = std::find_if(std::begin(kCapsOfApis), std::end(kCapsOfApis),
                                             [](const CapsOfApi& c) { return c.api == api::kVersion; });
    ASSERT_NE(expected, std::end(kCapsOfApis)) << "no expectations for API " << api_version_text(api::kVersion);
    EXPECT_EQ(caps_names().size, expected->count);
    EXPECT_STREQ(caps_name(9), expected->cap9);
}

TEST(Tables, CapsNamesInValueOrder) {
    const Table<NumberName> names = caps_names();
    const NumberName* unordered = std::adjacent_find(
        names.begin(), names.end(), [](const NumberName& a, const NumberName& b) { return a.value >= b.value; });
    EXPECT_EQ(unordered, names.end()) << unordered->value << " before " << (unordered + 1)->value;
}

// --- arithmetic ---------------------------------------------------------------------------------------
TEST(Policy, Geometry) {
    EXPECT_EQ(round_up_32(1366), 1376u);
    EXPECT_EQ(round_up_32(1088), 1088u);
    EXPECT_EQ(scaled_dimension(1080, 2, 3), 736u);
    EXPECT_EQ(scaled_dimension(1920, 2, 3), 1280u);
    EXPECT_EQ(input_row_bytes(1376), 10240u);
    EXPECT_EQ(input_row_bytes(3840), 15360u);
    EXPECT_EQ(bitstream_buffer_size(1920, 1088), 2097152u);
    EXPECT_EQ(bitstream_buffer_size(640, 480), 460800u);
}

TEST(Policy, BitstreamGrowthDoublesUpToTheLimitAndStops) {
    const uint32_t limit = bitstream_buffer_limit(256, 256);
    EXPECT_EQ(limit, 256u * 256 * 8 + 65536);
    std::vector<uint32_t> sizes;
    for (uint32_t size = bitstream_buffer_size(256, 256); size != 0; size = grown_bitstream_size(size, limit))
        sizes.push_back(size);
    EXPECT_EQ(sizes, (std::vector<uint32_t>{98304, 196608, 393216, limit}));
    // the largest pictures: the limit saturates instead of wrapping, and growth still ends
    EXPECT_EQ(bitstream_buffer_limit(65536, 65536), UINT32_MAX);
    EXPECT_EQ(grown_bitstream_size(0x90000000u, UINT32_MAX), UINT32_MAX);
    EXPECT_EQ(grown_bitstream_size(UINT32_MAX, UINT32_MAX), 0u);
}

struct BitrateCase {
    int speed;
    uint32_t w, h;
    bool nv12;
    uint32_t target;
};

class Bitrate : public ::testing::TestWithParam<BitrateCase> {};
TEST_P(Bitrate, Figures) {
    const BitrateCase& c = GetParam();
    const Bitrates b = compute_bitrates(c.speed, c.w, c.h, c.nv12);
    EXPECT_EQ(b.target, c.target);
    EXPECT_EQ(b.max, 2 * c.target);
}
INSTANTIATE_TEST_SUITE_P(Speeds, Bitrate,
                         ::testing::Values(BitrateCase{0, 1024, 1024, true, 1000000},
                                           BitrateCase{50, 1024, 1024, true, 5248800},
                                           BitrateCase{100, 1024, 1024, true, 52428800},
                                           BitrateCase{100, 1920, 1088, false, 100000000},
                                           BitrateCase{100, 1920, 1088, true, 100000000}));

TEST(Policy, QualityHysteresis) {
    EXPECT_EQ(target_quality(56, 50, 100), 50);
    EXPECT_EQ(target_quality(60, 50, 100), 50);
    EXPECT_EQ(target_quality(90, 50, 100), 80);
    EXPECT_EQ(target_quality(20, 90, 100), 30);
    EXPECT_EQ(target_quality(100, 50, 100), 100);
    EXPECT_EQ(target_quality(-1, 0, 100), 0);
}

TEST(Policy, KernelGrid) {
    EXPECT_EQ(grid_dimension(1920, 2), 60u);
    EXPECT_EQ(grid_dimension(1080, 2), 34u);
    EXPECT_EQ(grid_dimension(1920, 1), 120u);
    EXPECT_EQ(grid_dimension(1080, 1), 68u);
    EXPECT_EQ(grid_dimension(20, 2), 1u);
}

TEST(Policy, RuntimeFactor) {
    EXPECT_DOUBLE_EQ(runtime_factor(1, 0, 1e9), 1.0);
    EXPECT_DOUBLE_EQ(runtime_factor(1, 31, 1e9), 1.0);
    EXPECT_DOUBLE_EQ(runtime_factor(1, 32, 1e9), 0.0);
    EXPECT_DOUBLE_EQ(runtime_factor(0, 16, 1e9), 1.0);
    EXPECT_DOUBLE_EQ(runtime_factor(0, 17, 1e9), 0.0);
    EXPECT_DOUBLE_EQ(runtime_factor(1, 0, 10), 1.0 / 51);
}

TEST(Policy, Quantisers) {
    EXPECT_EQ(session_quantisers(50).min, 16);
    EXPECT_EQ(session_quantisers(50).max, 26);
    EXPECT_EQ(picture_quantisers(50).max, 36);
    EXPECT_EQ(session_quantisers(100).min, 0);
    EXPECT_EQ(session_quantisers(100).max, 0);
    EXPECT_EQ(picture_quantisers(100).max, 11);
    EXPECT_EQ(session_quantisers(0).min, 41);
    EXPECT_EQ(session_quantisers(0).max, 51);
    EXPECT_EQ(picture_quantisers(0).max, 51);
    // on a codec's own scale: the same range for H.264, five times it on a scale of 0..255
    EXPECT_EQ(on_scale(session_quantisers(50), find_codec("h264")->max_quantiser()).max, 26);
    EXPECT_EQ(on_scale(session_quantisers(50), 255).min, 80);
    EXPECT_EQ(on_scale(session_quantisers(0), 255).max, 255);
}

// Integers the host may pass (any C int) never overflow: the results stay in their meaningful range.
TEST(Policy, ExtremeQualitiesAndSpeeds) {
    constexpr int lo = INT_MIN, hi = INT_MAX;
    EXPECT_EQ(target_quality(lo, hi, 100), lo + 10);  // a step of 10 down, not a wrap to lossless
    EXPECT_EQ(target_quality(hi, lo, 100), 100);
    EXPECT_EQ(target_quality(99, lo, 101), 89);
    EXPECT_EQ(target_quality(lo, 5, 100), lo + 10);
    for (int q : {lo, -1000, -21, 101, 150, 1000, hi}) {
        for (const QuantiserRange r : {session_quantisers(q), picture_quantisers(q)}) {
            EXPECT_GE(r.min, 0) << q;
            EXPECT_LE(r.max, kMaxQuantiser) << q;
            EXPECT_LE(r.min, kMaxQuantiser) << q;
            EXPECT_GE(r.max, 0) << q;
        }
    }
    EXPECT_EQ(picture_quantisers(150).max, 0);
    EXPECT_EQ(session_quantisers(lo).min, kMaxQuantiser);
    EXPECT_EQ(preset_score(0, 100, hi, lo), 2 * (static_cast<long long>(hi)) + 3 * (100 - static_cast<long long>(lo)));
    EXPECT_EQ(preset_score(50, 50, 50, 50), 0);
    EXPECT_EQ(compute_bitrates(hi, 1920, 1088, false).target, 100000000u);
    EXPECT_EQ(compute_bitrates(lo, 1920, 1088, false).target, 100000000u);
}

TEST(Policy, TimestampSpanCoversTheWholeRange) {
    EXPECT_EQ(timestamp_span(150, 100), 50u);
    EXPECT_EQ(timestamp_span(LLONG_MAX, LLONG_MIN), UINT64_MAX);
    EXPECT_EQ(timestamp_span(LLONG_MAX, -1), static_cast<uint64_t>(LLONG_MAX) + 1);
}

TEST(PresetChoice, RanksByDistanceAndFiltersLossless) {
    auto first = [](const PresetCandidates& c) { return c.begin()->second.front(); };
    EXPECT_EQ(first(rank_presets({50, 50, false, false, ""})), "default");
    EXPECT_EQ(first(rank_presets({80, 80, false, false, ""})), "bd");
    EXPECT_EQ(first(rank_presets({100, 0, false, false, ""})), "low-latency-hp");
    EXPECT_EQ(first(rank_presets({0, 100, true, true, ""})), "lossless");
    EXPECT_EQ(first(rank_presets({100, 100, true, true, ""})), "lossless-hp");
    EXPECT_EQ(first(rank_presets({50, 50, false, true, "hq"})), "hq");
    EXPECT_EQ(rank_presets({50, 50, false, true, "hq"}).begin()->first, -1);
    // lossless presets only for a lossless 4:4:4 stream, and a lossless stream gets nothing else
    for (const auto& wanted : {PresetWanted{0, 100, false, true, ""}, PresetWanted{0, 100, true, false, ""}}) {
        for (const auto& [score, names] : rank_presets(wanted))
            for (const std::string& n : names) EXPECT_TRUE(n != "lossless" && n != "lossless-hp") << n;
    }
    for (const auto& [score, names] : rank_presets({0, 100, true, true, ""}))
        for (const std::string& n : names) EXPECT_TRUE(n == "lossless" || n == "lossless-hp") << n;
    // extreme requests still rank every lossy preset, without overflow
    auto count = [](const PresetCandidates& c) {
        std::size_t n = 0;
        for (const auto& [score, names] : c) n += names.size();
        return n;
    };
    const PresetCandidates extreme = rank_presets({INT_MIN, INT_MAX, false, false, ""});
    EXPECT_GT(extreme.begin()->first, 0);
    EXPECT_EQ(count(extreme), count(rank_presets({50, 50, false, false, ""})));
}

// --- staging ------------------------------------------------------------------------------------------
struct Staging : ::testing::Test {
    std::vector<uint8_t> buffer;
    StagingBuffer target(uint32_t pitch, uint32_t rows) {
        buffer.assign(static_cast<std::size_t>(pitch) * rows, 0xEE);
        return {buffer.data(), pitch, rows};
    }
    static std::vector<uint8_t> pixels(std::size_t n) {
        std::vector<uint8_t> v(n);
        std::iota(v.begin(), v.end(), 0);
        return v;
    }
};

TEST_F(Staging, OneShotKeepsImageStride) {
    auto px = pixels(4 * 4 * 3);
    const StagingResult r = stage_pixels({px.data(), px.size(), 4, 3, 16}, target(32, 4));
    EXPECT_FALSE(r.row_by_row);
    EXPECT_EQ(r.source_pitch, 16u);
    EXPECT_EQ(0, std::memcmp(buffer.data(), px.data(), px.size()));
    EXPECT_EQ(buffer[px.size()], 0xEE);
}

TEST_F(Staging, RowByRowCutsToPitch) {
    auto px = pixels(64 * 3);
    const StagingResult r = stage_pixels({px.data(), px.size(), 4, 3, 64}, target(16, 4));
    EXPECT_TRUE(r.row_by_row);
    EXPECT_EQ(r.source_pitch, 16u);
    for (int y = 0; y < 3; ++y) EXPECT_EQ(0, std::memcmp(&buffer[y * 16], &px[y * 64], 16)) << y;
    EXPECT_EQ(buffer[3 * 16], 0xEE);
}

TEST_F(Staging, LastRowShorterThanPitchIsNotOverread) {
    // The final row holds only width * 4 bytes: the copy must stop at the end of the pixels.
    auto px = pixels(64 * 2 + 16);
    stage_pixels({px.data(), px.size(), 4, 3, 64}, target(32, 4));
    EXPECT_EQ(0, std::memcmp(&buffer[2 * 32], &px[2 * 64], 16));
}

TEST_F(Staging, ExtraOddRowIsDropped) {
    auto px = pixels(64 * 5);
    const StagingResult r = stage_pixels({px.data(), px.size(), 4, 5, 64}, target(16, 4));
    EXPECT_TRUE(r.row_by_row);
    EXPECT_EQ(buffer.size(), 64u);
}

struct StagingFault {
    std::size_t length;
    uint32_t width, height, stride, pitch, rows;
    const char* message_start;
};

class StagingFaults : public ::testing::TestWithParam<StagingFault> {};
TEST_P(StagingFaults, Rejected) {
    const StagingFault& f = GetParam();
    std::vector<uint8_t> px(f.length);
    std::vector<uint8_t> buffer(static_cast<std::size_t>(f.pitch) * f.rows);
    try {
        stage_pixels({px.data(), px.size(), f.width, f.height, f.stride}, {buffer.data(), f.pitch, f.rows});
        FAIL() << "accepted";
    } catch (const StagingError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(f.message_start, 0), 0u) << e.what();
    }
}
INSTANTIATE_TEST_SUITE_P(
    Inputs, StagingFaults,
    ::testing::Values(
        StagingFault{200, 4, 3, 16, 16, 3, "too many pixels (expected 48 max, got 200) image: 4x3 stride=16, "
                                           "input buffer: stride=16, height=3"},
        StagingFault{20, 4, 3, 16, 16, 3, "not enough pixels (expected 48 min, got 20)"},
        StagingFault{100, 4, 3, 64, 16, 3, "not enough pixels (expected 144 min, got 100)"},
        StagingFault{48, 4, 3, 8, 16, 3, "invalid rowstride 8 for width 4"}));

}  // namespace
}  // namespace tevu::nvenc
