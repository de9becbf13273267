// Native checks of the NVENC header: version words of both APIs, the layout selected by
// TEVU_NVENC_API_VERSION, member positions as the modules write them, and the GUID constants.
// Built twice: once without TEVU_NVENC_API_VERSION (API 5.0 by default) and once with 0x40;
// NVENC_TEST_EXPECTED_API names the API the build must end up with.
#include "layout_probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>
#include <vector>

using nvenc_probe::Fact;

namespace {

template <typename T>
uint32_t word_of(uint32_t api) {
    return nvenc_struct_version<T>(api);
}

struct WordRow {
    const char* structure;
    uint32_t (*word)(uint32_t api);
    uint32_t current;  // the *_VER constant of this build
    uint32_t api5_x64;
    uint32_t api4_x64;
};

// The x86-64 words, API 5.0 and API 4.0, as the published layouts give them.
const std::vector<WordRow>& word_rows() {
    static const std::vector<WordRow> rows = {
        {"NV_ENCODE_API_FUNCTION_LIST", &word_of<NV_ENCODE_API_FUNCTION_LIST>,
         NV_ENCODE_API_FUNCTION_LIST_VER, 0x500209F8, 0x400209F8},
        {"NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS", &word_of<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>,
         NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER, 0x50010610, 0x40010610},
        {"NV_ENC_CAPS_PARAM", &word_of<NV_ENC_CAPS_PARAM>, NV_ENC_CAPS_PARAM_VER, 0x50010100, 0x40010100},
        {"NV_ENC_PRESET_CONFIG", &word_of<NV_ENC_PRESET_CONFIG>, NV_ENC_PRESET_CONFIG_VER, 0xD0041408,
         0xC0041408},
        {"NV_ENC_CONFIG", &word_of<NV_ENC_CONFIG>, NV_ENC_CONFIG_VER, 0xD0050E00, 0xC0050E00},
        {"NV_ENC_INITIALIZE_PARAMS", &word_of<NV_ENC_INITIALIZE_PARAMS>, NV_ENC_INITIALIZE_PARAMS_VER,
         0xD0050710, 0xC0050710},
        {"NV_ENC_REGISTER_RESOURCE", &word_of<NV_ENC_REGISTER_RESOURCE>, NV_ENC_REGISTER_RESOURCE_VER,
         0x50030600, 0x40030600},
        {"NV_ENC_CREATE_BITSTREAM_BUFFER", &word_of<NV_ENC_CREATE_BITSTREAM_BUFFER>,
         NV_ENC_CREATE_BITSTREAM_BUFFER_VER, 0x50010308, 0x40010308},
        {"NV_ENC_RECONFIGURE_PARAMS", &word_of<NV_ENC_RECONFIGURE_PARAMS>, NV_ENC_RECONFIGURE_PARAMS_VER,
         0xD0010720, 0xC0010720},
        {"NV_ENC_MAP_INPUT_RESOURCE", &word_of<NV_ENC_MAP_INPUT_RESOURCE>, NV_ENC_MAP_INPUT_RESOURCE_VER,
         0x50040608, 0x40040608},
        {"NV_ENC_PIC_PARAMS", &word_of<NV_ENC_PIC_PARAMS>, NV_ENC_PIC_PARAMS_VER, 0xD0040D10, 0xC0030D10},
        {"NV_ENC_PIC_PARAMS_V5", &word_of<NV_ENC_PIC_PARAMS_V5>, NV_ENC_PIC_PARAMS_VER, 0xD0040D10,
         0xC0030D10},
        {"NV_ENC_PIC_PARAMS_V4", &word_of<NV_ENC_PIC_PARAMS_V4>, NV_ENC_PIC_PARAMS_VER, 0xD0040D10,
         0xC0030D10},
        {"NV_ENC_LOCK_BITSTREAM", &word_of<NV_ENC_LOCK_BITSTREAM>, NV_ENC_LOCK_BITSTREAM_VER, 0x50010608,
         0x40010608},
    };
    return rows;
}

void expect_facts(const std::vector<Fact>& facts) {
    for (const Fact& f : facts) EXPECT_EQ(f.actual, f.expected) << f.what;
}

bool x86_64_build() {
#if defined(__x86_64__) || defined(_M_X64)
    return true;
#else
    return false;
#endif
}

}  // namespace

TEST(NvencApiSelection, BuildGetsTheRequestedApi) {
    EXPECT_EQ(NVENCAPI_VERSION, static_cast<uint32_t>(NVENC_TEST_EXPECTED_API));
    EXPECT_EQ(NVENCAPI_MAJOR_VERSION, static_cast<uint32_t>(NVENC_TEST_EXPECTED_API >> 4));
    EXPECT_EQ(NVENCAPI_MINOR_VERSION, 0u);
    constexpr bool v4_layout = std::is_same_v<NV_ENC_PIC_PARAMS, NV_ENC_PIC_PARAMS_V4>;
    constexpr bool v5_layout = std::is_same_v<NV_ENC_PIC_PARAMS, NV_ENC_PIC_PARAMS_V5>;
    EXPECT_EQ(v4_layout, NVENC_TEST_EXPECTED_API == 0x40);
    EXPECT_EQ(v5_layout, NVENC_TEST_EXPECTED_API == 0x50);
    static_assert(sizeof(NV_ENC_PIC_PARAMS_V4) == sizeof(NV_ENC_PIC_PARAMS_V5), "both layouts have one size");
}

TEST(NvencVersionWords, BothApisMatchThePublishedX64Words) {
    if (!x86_64_build()) GTEST_SKIP() << "the word table holds x86-64 sizes";
    for (const WordRow& row : word_rows()) {
        EXPECT_EQ(row.word(NVENC_API_V5), row.api5_x64) << row.structure;
        EXPECT_EQ(row.word(NVENC_API_V4), row.api4_x64) << row.structure;
    }
}

TEST(NvencVersionWords, VerConstantsFollowTheBuildsApi) {
    if (!x86_64_build()) GTEST_SKIP() << "the word table holds x86-64 sizes";
    for (const WordRow& row : word_rows())
        EXPECT_EQ(row.current, NVENCAPI_VERSION == NVENC_API_V4 ? row.api4_x64 : row.api5_x64)
            << row.structure;
}

TEST(NvencVersionWords, WordIsBuiltFromSizeRevisionApiAndMark) {
    // Another ABI's size goes into the low 16 bits unchanged: the 32-bit Windows picture params word.
    EXPECT_EQ(nvenc_struct_version<NV_ENC_PIC_PARAMS_V5>(NVENC_API_V5, 2816), 0xD0040B00u);
    EXPECT_EQ(nvenc_struct_version<NV_ENC_PIC_PARAMS_V4>(NVENC_API_V4, 2816), 0xC0030B00u);
    EXPECT_EQ(nvenc_struct_version<NV_ENC_CAPS_PARAM>(NVENC_API_V5), 0x50010100u);  // same on every ABI
    EXPECT_EQ(nvenc_version_word(0x1234, NvencRevision{7, false}, 0x40), 0x40071234u);
    EXPECT_EQ(nvenc_version_word(0x1234, NvencRevision{7, true}, 0x40), 0xC0071234u);
}

TEST(NvencVersionWords, DecodeIntoSizeRevisionAndApi) {
    constexpr uint32_t pic4 = nvenc_struct_version<NV_ENC_PIC_PARAMS_V4>(NVENC_API_V4);
    EXPECT_EQ(nvenc_word_size(pic4), sizeof(NV_ENC_PIC_PARAMS_V4));
    EXPECT_EQ(nvenc_word_revision(pic4), 3u);
    EXPECT_EQ(nvenc_word_api(pic4), NVENC_API_V4);  // bit 31 is not part of the API value
    constexpr uint32_t lock5 = nvenc_struct_version<NV_ENC_LOCK_BITSTREAM>(NVENC_API_V5);
    EXPECT_EQ(nvenc_word_size(lock5), sizeof(NV_ENC_LOCK_BITSTREAM));
    EXPECT_EQ(nvenc_word_revision(lock5), 1u);
    EXPECT_EQ(nvenc_word_api(lock5), NVENC_API_V5);
}

// API 12.0's words carry no size (so they are the same on every ABI): the API word, the revision and 0x7
// in bits 28 to 30, bit 31 where marked.
TEST(NvencVersionWords, Api12WordsMatchThePublishedTable) {
    struct Word {
        const char* structure;
        uint32_t word, expected;
    };
    const Word words[] = {
        {"function list", nvenc_struct_version<NV_ENCODE_API_FUNCTION_LIST>(NVENC_API_V12), 0x7002000Cu},
        {"session", nvenc_struct_version<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>(NVENC_API_V12), 0x7001000Cu},
        {"caps", nvenc_struct_version<NV_ENC_CAPS_PARAM>(NVENC_API_V12), 0x7001000Cu},
        {"preset config", nvenc_struct_version<NV_ENC_PRESET_CONFIG>(NVENC_API_V12), 0xF004000Cu},
        {"config", nvenc_struct_version<NV_ENC_CONFIG>(NVENC_API_V12), 0xF008000Cu},
        {"rc params", nvenc_struct_version<NV_ENC_RC_PARAMS>(NVENC_API_V12), 0x7001000Cu},
        {"initialize", nvenc_struct_version<NV_ENC_INITIALIZE_PARAMS>(NVENC_API_V12), 0xF005000Cu},
        {"reconfigure", nvenc_struct_version<NV_ENC_RECONFIGURE_PARAMS>(NVENC_API_V12), 0xF001000Cu},
        {"register", nvenc_struct_version<NV_ENC_REGISTER_RESOURCE>(NVENC_API_V12), 0x7004000Cu},
        {"bitstream", nvenc_struct_version<NV_ENC_CREATE_BITSTREAM_BUFFER>(NVENC_API_V12), 0x7001000Cu},
        {"map", nvenc_struct_version<NV_ENC_MAP_INPUT_RESOURCE>(NVENC_API_V12), 0x7004000Cu},
        {"picture", nvenc_struct_version<NV_ENC_PIC_PARAMS_V12>(NVENC_API_V12), 0xF006000Cu},
        {"lock", nvenc_struct_version<NV_ENC_LOCK_BITSTREAM>(NVENC_API_V12), 0x7002000Cu},
    };
    for (const Word& w : words) EXPECT_EQ(w.word, w.expected) << w.structure;
    EXPECT_EQ(nvenc_api_word(NVENC_API_V12), 0x0000000Cu);
    EXPECT_EQ(nvenc_api_word(0xC1), 0x0100000Cu);  // 12.1: the minor in bits 24 to 27
    EXPECT_EQ(nvenc_api_word(NVENC_API_V5), NVENC_API_V5);
    const uint32_t pic = nvenc_struct_version<NV_ENC_PIC_PARAMS_V12>(0xC1);
    EXPECT_TRUE(nvenc_word_is_v12(pic));
    EXPECT_EQ(nvenc_word_api(pic), 0xC1u);
    EXPECT_EQ(nvenc_word_revision(pic), 6u);
    EXPECT_EQ(nvenc_word_size(pic), 0u);
    EXPECT_FALSE(nvenc_word_is_v12(nvenc_struct_version<NV_ENC_PIC_PARAMS_V5>(NVENC_API_V5)));
}

TEST(NvencReset, ZeroesEverythingButTheVersionWord) {
    NV_ENC_LOCK_BITSTREAM lock;
    std::memset(&lock, 0xAB, sizeof lock);
    nvenc_reset(lock, NVENC_API_V4);
    EXPECT_EQ(lock.version, nvenc_struct_version<NV_ENC_LOCK_BITSTREAM>(NVENC_API_V4));
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&lock);
    std::size_t nonzero = 0;
    for (std::size_t i = sizeof lock.version; i < sizeof lock; ++i) nonzero += bytes[i] != 0;
    EXPECT_EQ(nonzero, 0u);

    NV_ENC_PIC_PARAMS pic;
    std::memset(&pic, 0x5A, sizeof pic);
    nvenc_reset(pic);
    EXPECT_EQ(pic.version, NV_ENC_PIC_PARAMS_VER);
    EXPECT_EQ(pic.inputTimeStamp, 0u);
    EXPECT_EQ(pic.codecPicParams.h264PicParams.refPicFlag, 0u);
}

// Members that the modules write, located by value (not by offsetof), including bit-fields and members
// of nested structures. These positions are the same on every ABI.
TEST(NvencLayout, ConfigurationMembersSitWhereTheDriverReadsThem) {
    expect_facts({
        {"NV_ENC_CONFIG.gopLength", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, gopLength), 20},
        {"NV_ENC_CONFIG.frameIntervalP", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, frameIntervalP), 24},
        {"NV_ENC_CONFIG.frameFieldMode", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, frameFieldMode), 32},
        {"videoSignalTypePresentFlag",
         NVENC_PROBE_OFFSET(NV_ENC_CONFIG,
                            encodeCodecConfig.h264Config.h264VUIParameters.videoSignalTypePresentFlag),
         248},
        {"colourDescriptionPresentFlag",
         NVENC_PROBE_OFFSET(NV_ENC_CONFIG,
                            encodeCodecConfig.h264Config.h264VUIParameters.colourDescriptionPresentFlag),
         260},
        {"h264Config.chromaFormatIDC",
         NVENC_PROBE_OFFSET(NV_ENC_CONFIG, encodeCodecConfig.h264Config.chromaFormatIDC), 360},
        {"rcParams.rateControlMode", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, rcParams.rateControlMode), 44},
        {"rcParams.averageBitRate", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, rcParams.averageBitRate), 60},
        {"rcParams.maxBitRate", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, rcParams.maxBitRate), 64},
        {"rcParams.enableMinQP (bit)", NVENC_PROBE_BIT(NV_ENC_CONFIG, rcParams.enableMinQP), 76 * 8 + 0},
        {"rcParams.enableMaxQP (bit)", NVENC_PROBE_BIT(NV_ENC_CONFIG, rcParams.enableMaxQP), 76 * 8 + 1},
        {"rcParams.minQP.qpInterP", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, rcParams.minQP.qpInterP), 80},
        {"rcParams.minQP.qpIntra", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, rcParams.minQP.qpIntra), 88},
        {"rcParams.maxQP.qpInterP", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, rcParams.maxQP.qpInterP), 92},
        {"rcParams.maxQP.qpIntra", NVENC_PROBE_OFFSET(NV_ENC_CONFIG, rcParams.maxQP.qpIntra), 100},
        {"qpPrimeYZeroTransformBypassFlag (bit)",
         NVENC_PROBE_BIT(NV_ENC_CONFIG, encodeCodecConfig.h264Config.qpPrimeYZeroTransformBypassFlag),
         168 * 8 + 15},
        {"h264Config.useConstrainedIntraPred (bit)",
         NVENC_PROBE_BIT(NV_ENC_CONFIG, encodeCodecConfig.h264Config.useConstrainedIntraPred), 168 * 8 + 16},
        {"hevcConfig.chromaFormatIDC (bit)",
         NVENC_PROBE_BIT(NV_ENC_CONFIG, encodeCodecConfig.hevcConfig.chromaFormatIDC), (168 + 16) * 8 + 9},
        {"rcParams.aqStrength (bit)", NVENC_PROBE_BIT(NV_ENC_RC_PARAMS, aqStrength), 37 * 8 + 4},
        {"rcParams.lookaheadDepth", NVENC_PROBE_OFFSET(NV_ENC_RC_PARAMS, lookaheadDepth), 90},
        {"INITIALIZE.enableMEOnlyMode (bit)", NVENC_PROBE_BIT(NV_ENC_INITIALIZE_PARAMS, enableMEOnlyMode),
         68 * 8 + 3},
        {"LOCK.doNotWait (bit)", NVENC_PROBE_BIT(NV_ENC_LOCK_BITSTREAM, doNotWait), 4 * 8},
        {"LOCK.ltrFrame (bit)", NVENC_PROBE_BIT(NV_ENC_LOCK_BITSTREAM, ltrFrame), 4 * 8 + 1},
        {"ME hint 8x16 count (bit)",
         NVENC_PROBE_BIT(NVENC_EXTERNAL_ME_HINT_COUNTS_PER_BLOCKTYPE, numCandsPerBlk8x16), 8},
    });
}

TEST(NvencLayout, X64PositionsOfPointerDependentMembers) {
    if (!x86_64_build()) GTEST_SKIP() << "x86-64 offsets";
    expect_facts({
        {"PIC.inputTimeStamp", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS, inputTimeStamp), 24},
        {"PIC.outputBitstream", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS, outputBitstream), 48},
        {"PIC.pictureStruct", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS, pictureStruct), 68},
        {"PIC.h264.displayPOCSyntax",
         NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS, codecPicParams.h264PicParams.displayPOCSyntax), 80},
        {"PIC.h264.refPicFlag",
         NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS, codecPicParams.h264PicParams.refPicFlag), 88},
        {"PIC.h264.sliceMode", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS, codecPicParams.h264PicParams.sliceMode),
         128},
        {"PIC.h264.sliceModeData",
         NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS, codecPicParams.h264PicParams.sliceModeData), 132},
        {"PIC.hevc.seiPayloadArray",
         NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS, codecPicParams.hevcPicParams.seiPayloadArray), 144},
        {"PICv5.meExternalHints", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS_V5, meExternalHints), 1648},
        {"PICv5.qpDeltaMapSize", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS_V5, qpDeltaMapSize), 1704},
        {"PICv5.meHintRefPicDist[1]", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS_V5, meHintRefPicDist[1]), 1714},
        {"PICv4.newEncodeHeight", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS_V4, newEncodeHeight), 1620},
        {"PICv4.rcParams.version", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS_V4, rcParams.version), 1624},
        {"PICv4.rcParams.rateControlMode", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS_V4, rcParams.rateControlMode),
         1624 + 4},
        {"PICv4.rcParams.maxQP.qpIntra", NVENC_PROBE_OFFSET(NV_ENC_PIC_PARAMS_V4, rcParams.maxQP.qpIntra),
         1624 + 60},
        {"PICv4.rcParams.enableMaxQP (bit)", NVENC_PROBE_BIT(NV_ENC_PIC_PARAMS_V4, rcParams.enableMaxQP),
         (1624 + 36) * 8 + 1},
        {"RECONFIGURE.resetEncoder (bit)", NVENC_PROBE_BIT(NV_ENC_RECONFIGURE_PARAMS, resetEncoder),
         1816 * 8},
        {"RECONFIGURE.forceIDR (bit)", NVENC_PROBE_BIT(NV_ENC_RECONFIGURE_PARAMS, forceIDR), 1816 * 8 + 1},
        {"RECONFIGURE.reInit.encodeConfig",
         NVENC_PROBE_OFFSET(NV_ENC_RECONFIGURE_PARAMS, reInitEncodeParams.encodeConfig), 8 + 88},
        {"PRESET.presetCfg.gopLength", NVENC_PROBE_OFFSET(NV_ENC_PRESET_CONFIG, presetCfg.gopLength), 8 + 20},
        {"OPEN.apiVersion", NVENC_PROBE_OFFSET(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, apiVersion), 24},
        {"REGISTER.bufferFormat", NVENC_PROBE_OFFSET(NV_ENC_REGISTER_RESOURCE, bufferFormat), 40},
        {"LOCK.outputDuration", NVENC_PROBE_OFFSET(NV_ENC_LOCK_BITSTREAM, outputDuration), 48},
        {"LOCK.ltrFrameBitmap", NVENC_PROBE_OFFSET(NV_ENC_LOCK_BITSTREAM, ltrFrameBitmap), 84},
        {"TABLE.nvEncUnlockBitstream",
         static_cast<long long>(offsetof(NV_ENCODE_API_FUNCTION_LIST, nvEncUnlockBitstream)), 152},
        {"TABLE.nvEncUnregisterResource",
         static_cast<long long>(offsetof(NV_ENCODE_API_FUNCTION_LIST, nvEncUnregisterResource)), 256},
    });
}

// A module built for one API writes that API's members through the plain name.
TEST(NvencLayout, PicParamsOfTheBuildsApiExposeItsOwnMembers) {
    NV_ENC_PIC_PARAMS pic;
    nvenc_reset(pic);
#if TEVU_NVENC_API_VERSION == 0x40
    pic.newEncodeWidth = 640;
    pic.rcParams.averageBitRate = 1000000;
    // The API 4.0 members follow codecPicParams directly, where API 5.0 has its hint counts.
    const std::size_t after_codec =
        offsetof(NV_ENC_PIC_PARAMS, codecPicParams) + sizeof(NV_ENC_CODEC_PIC_PARAMS);
    EXPECT_EQ(offsetof(NV_ENC_PIC_PARAMS_V5, meHintCountsPerBlock), after_codec);
    uint32_t width = 0, bitrate = 0;
    std::memcpy(&width, reinterpret_cast<const unsigned char*>(&pic) + after_codec, sizeof width);
    std::memcpy(&bitrate, reinterpret_cast<const unsigned char*>(&pic) + after_codec + 8 + 20,
                sizeof bitrate);
    EXPECT_EQ(width, 640u);
    EXPECT_EQ(bitrate, 1000000u);
    EXPECT_EQ(pic.version, 0xC0030000u | static_cast<uint32_t>(sizeof pic));
#else
    pic.qpDeltaMapSize = 16;
    pic.meHintRefPicDist[0] = 1;
    EXPECT_EQ(pic.version, 0xD0040000u | static_cast<uint32_t>(sizeof pic));
#endif
    EXPECT_EQ(pic.version >> 24, (NVENC_TEST_EXPECTED_API | 0x80u));
}

TEST(NvencGuids, ConstantsRenderAsThePublishedTexts) {
    struct Row {
        const char* name;
        const GUID& guid;
        const char* text;
    };
    const Row rows[] = {
        {"H264", NV_ENC_CODEC_H264_GUID, "6BC82762-4E63-4CA4-AA85-1E50F321F6BF"},
        {"HEVC", NV_ENC_CODEC_HEVC_GUID, "790CDC88-4522-4D7B-9425-BDA9975F7603"},
        {"auto", NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID, "BFD6F8E7-233C-4341-8B3E-4818523803F4"},
        {"baseline", NV_ENC_H264_PROFILE_BASELINE_GUID, "0727BCAA-78C4-4C83-8C2F-EF3DFF267C6A"},
        {"main", NV_ENC_H264_PROFILE_MAIN_GUID, "60B5C1D4-67FE-4790-94D5-C4726D7B6E6D"},
        {"high", NV_ENC_H264_PROFILE_HIGH_GUID, "E7CBC309-4F7A-4B89-AF2A-D537C92BE310"},
        {"stereo", NV_ENC_H264_PROFILE_STEREO_GUID, "40847BF5-33F7-4601-9084-E8FE3C1DB8B7"},
        {"temporal", NV_ENC_H264_PROFILE_SVC_TEMPORAL_SCALABILTY, "CE788D20-AAA9-4318-92BB-AC7E858C8D36"},
        {"constrained-high", NV_ENC_H264_PROFILE_CONSTRAINED_HIGH_GUID,
         "AEC1BD87-E85B-48F2-84C3-98BCA6285072"},
        {"high-444", NV_ENC_H264_PROFILE_HIGH_444_GUID, "7AC663CB-A598-4960-B844-339B261A7D52"},
        {"hevc main", NV_ENC_HEVC_PROFILE_MAIN_GUID, "B514C39A-B55B-40FA-878F-F1253B4DFDEC"},
        {"default", NV_ENC_PRESET_DEFAULT_GUID, "B2DFB705-4EBD-4C49-9B5F-24A777D3E587"},
        {"hp", NV_ENC_PRESET_HP_GUID, "60E4C59F-E846-4484-A56D-CD45BE9FDDF6"},
        {"hq", NV_ENC_PRESET_HQ_GUID, "34DBA71D-A77B-4B8F-9C3E-B6D5DA24C012"},
        {"bd", NV_ENC_PRESET_BD_GUID, "82E3E450-BDBB-4E40-989C-82A90DF9EF32"},
        {"low-latency", NV_ENC_PRESET_LOW_LATENCY_DEFAULT_GUID, "49DF21C5-6DFA-4FEB-9787-6ACC9EFFB726"},
        {"low-latency-hq", NV_ENC_PRESET_LOW_LATENCY_HQ_GUID, "C5F733B9-EA97-4CF9-BEC2-BF78A74FD105"},
        {"low-latency-hp", NV_ENC_PRESET_LOW_LATENCY_HP_GUID, "67082A44-4BAD-48FA-98EA-93056D150A58"},
        {"lossless", NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID, "D5BFB716-C604-44E7-9BB8-DEA5510FC3AC"},
        {"lossless-hp", NV_ENC_PRESET_LOSSLESS_HP_GUID, "149998E7-2364-411D-82EF-179888093409"},
        {"streaming", NVENC_PRESET_STREAMING_GUID, "7ADD423D-D035-4F6F-AEA5-50885658643C"},
    };
    for (const Row& row : rows) EXPECT_EQ(nvenc_probe::guid_text(row.guid), row.text) << row.name;
    // All distinct, so no table keyed by these GUIDs loses an entry.
    for (const Row& a : rows) {
        for (const Row& b : rows) {
            if (&a == &b) continue;
            EXPECT_FALSE(nvenc_same_guid(a.guid, b.guid)) << a.name << " vs " << b.name;
        }
    }
}

TEST(NvencGuids, SameGuidComparesEveryField) {
    constexpr GUID base = NV_ENC_CODEC_H264_GUID;
    static_assert(nvenc_same_guid(base, NV_ENC_CODEC_H264_GUID), "usable at compile time");
    GUID changed[4] = {base, base, base, base};
    changed[0].Data1 ^= 1;
    changed[1].Data2 ^= 1;
    changed[2].Data3 ^= 1;
    changed[3].Data4[7] ^= 1;
    for (const GUID& g : changed) EXPECT_FALSE(nvenc_same_guid(base, g)) << nvenc_probe::guid_text(g);
}

// The numeric values that the modules send and that the status and capability tables are keyed by.
TEST(NvencConstants, ValuesTheModulesRelyOn) {
    expect_facts({
        {"NV_ENC_ERR_UNSUPPORTED_DEVICE", NV_ENC_ERR_UNSUPPORTED_DEVICE, 2},
        {"NV_ENC_ERR_INVALID_VERSION", NV_ENC_ERR_INVALID_VERSION, 15},
        {"NV_ENC_ERR_NEED_MORE_INPUT", NV_ENC_ERR_NEED_MORE_INPUT, 17},
        {"NV_ENC_ERR_RESOURCE_NOT_MAPPED", NV_ENC_ERR_RESOURCE_NOT_MAPPED, 25},
        {"NV_ENC_CAPS_SUPPORTED_RATECONTROL_MODES", NV_ENC_CAPS_SUPPORTED_RATECONTROL_MODES, 1},
        {"NV_ENC_CAPS_WIDTH_MAX", NV_ENC_CAPS_WIDTH_MAX, 16},
        {"NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT", NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT, 30},
        {"NV_ENC_CAPS_SUPPORT_YUV444_ENCODE", NV_ENC_CAPS_SUPPORT_YUV444_ENCODE, 33},
        {"NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE", NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE, 34},
        {"NV_ENC_CAPS_EXPOSED_COUNT", NV_ENC_CAPS_EXPOSED_COUNT, 35},
        {"NV_ENC_BUFFER_FORMAT_NV12_PL", NV_ENC_BUFFER_FORMAT_NV12_PL, 0x1},
        {"NV_ENC_BUFFER_FORMAT_YV12_TILED64x16", NV_ENC_BUFFER_FORMAT_YV12_TILED64x16, 0x30},
        {"NV_ENC_BUFFER_FORMAT_IYUV_TILED16x16", NV_ENC_BUFFER_FORMAT_IYUV_TILED16x16, 0x200},
        {"NV_ENC_BUFFER_FORMAT_YUV444_PL", NV_ENC_BUFFER_FORMAT_YUV444_PL, 0x1000},
        {"NV_ENC_DEVICE_TYPE_CUDA", NV_ENC_DEVICE_TYPE_CUDA, 1},
        {"NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR", NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR, 1},
        {"NV_ENC_MEMORY_HEAP_SYSMEM_CACHED", NV_ENC_MEMORY_HEAP_SYSMEM_CACHED, 2},
        {"NV_ENC_PIC_FLAG_OUTPUT_SPSPPS", NV_ENC_PIC_FLAG_OUTPUT_SPSPPS, 0x4},
        {"NV_ENC_PIC_FLAG_EOS", NV_ENC_PIC_FLAG_EOS, 0x8},
        {"NV_ENC_PIC_STRUCT_FRAME", NV_ENC_PIC_STRUCT_FRAME, 1},
        {"NV_ENC_PIC_TYPE_P", NV_ENC_PIC_TYPE_P, 0},
        {"NV_ENC_PIC_TYPE_IDR", NV_ENC_PIC_TYPE_IDR, 3},
        {"NV_ENC_PARAMS_RC_CONSTQP", NV_ENC_PARAMS_RC_CONSTQP, 0},
        {"NV_ENC_PARAMS_RC_VBR", NV_ENC_PARAMS_RC_VBR, 1},
        {"NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME", NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME, 1},
        {"NVENC_SLICE_MODE_COUNT", NVENC_SLICE_MODE_COUNT, 3},
        {"NVENC_INFINITE_GOPLENGTH", NVENC_INFINITE_GOPLENGTH, 0xFFFFFFFFll},
    });
}
