// What the API-12.0 build's core does its own way, without a driver: its vocabulary, the preset and tuning
// it chooses, and the session parameters it fills.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "api_traits.h"
#include "codec.h"
#include "guid.h"
#include "preset_choice.h"
#include "tables.h"

namespace tevu::nvenc {
namespace {

std::string first(const PresetCandidates& candidates) {
    return candidates.empty() || candidates.begin()->second.empty() ? "" : candidates.begin()->second.front();
}

TEST(Api12Vocabulary, PresetsTuningsCapabilitiesFormats) {
    std::vector<std::string> presets;
    for (const GuidName& p : preset_guids()) presets.push_back(p.name);
    EXPECT_EQ(presets, (std::vector<std::string>{"p1", "p2", "p3", "p4", "p5", "p6", "p7"}));
    EXPECT_STREQ(preset_name("90A7B826-DF06-4862-B9D2-CD6D73A08681"), "p4");
    EXPECT_EQ(preset_name("B2DFB705-4EBD-4C49-9B5F-24A777D3E587"), nullptr);  // API 5.0's "default"
    EXPECT_EQ(lossless_presets().size, 0u);
    EXPECT_EQ(caps_names().size, 52u);
    EXPECT_STREQ(caps_name(9), "SUPPORT_STEREO_MVC");
    EXPECT_STREQ(caps_name(32), "MB_PER_SEC_MAX");
    EXPECT_STREQ(caps_name(35), "SUPPORT_SAO");
    EXPECT_STREQ(caps_name(51), "EXPOSED_COUNT");
    EXPECT_STREQ(buffer_format_name(0x1), "NV12");
    EXPECT_STREQ(buffer_format_name(0x1000), "YUV444");
    EXPECT_EQ(tuning_names().size, 4u);
    EXPECT_EQ(profile_guids("AV1").size, 1u);
    EXPECT_EQ(profile_guids("HEVC").size, 3u);
}

// (speed, quality, lossless, 4:4:4, desired preset) -> preset
struct RankCase {
    PresetWanted wanted;
    const char* preset;
};

TEST(Api12PresetChoice, RanksP1ToP7AndLosslessNeeds444) {
    const RankCase cases[] = {
        {{50, 50, false, false, ""}, "p4"},  {{100, 0, false, false, ""}, "p1"},
        {{0, 100, false, false, ""}, "p7"},  {{70, 30, false, true, ""}, "p3"},
        {{0, 100, true, true, ""}, "p7"},    {{100, 0, true, true, ""}, "p1"},    // lossless: any preset
        {{50, 50, false, false, "p2"}, "p2"}, {{0, 100, true, false, ""}, ""},     // lossless in 4:2:0: none
    };
    for (const RankCase& c : cases)
        EXPECT_EQ(first(rank_presets(c.wanted)), c.preset) << c.wanted.speed << "/" << c.wanted.quality;
}

TEST(Api12Tuning, LosslessThenDesiredThenBySpeed) {
    EXPECT_EQ(api::choose_tuning(100, true, NV_ENC_TUNING_INFO_HIGH_QUALITY), NV_ENC_TUNING_INFO_LOSSLESS);
    EXPECT_EQ(api::choose_tuning(100, false, NV_ENC_TUNING_INFO_HIGH_QUALITY), NV_ENC_TUNING_INFO_HIGH_QUALITY);
    EXPECT_EQ(api::choose_tuning(70, false, 0), NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY);
    EXPECT_EQ(api::choose_tuning(69, false, 0), NV_ENC_TUNING_INFO_LOW_LATENCY);
}

TEST(Api12SessionParams, TuningProfileAndRateControl) {
    NV_ENC_INITIALIZE_PARAMS params{};
    NV_ENC_CONFIG config{};
    config.rcParams.multiPass = NV_ENC_TWO_PASS_QUARTER_RESOLUTION;
    config.rcParams.vbvBufferSize = 1234;
    const Codec& h264 = *find_codec("h264");
    api::set_session_extras(params, config, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY, h264.profile(true));
    EXPECT_EQ(params.tuningInfo, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY);
    EXPECT_TRUE(nvenc_same_guid(config.profileGUID, NV_ENC_H264_PROFILE_HIGH_444_GUID));
    api::set_session_rate_control(config, {4000000, 8000000, 50, h264.max_quantiser()}, false, h264);
    const NV_ENC_RC_PARAMS& rc = config.rcParams;
    EXPECT_EQ(rc.rateControlMode, NV_ENC_PARAMS_RC_VBR);
    EXPECT_EQ(rc.averageBitRate, 4000000u);
    EXPECT_EQ(rc.maxBitRate, 8000000u);
    EXPECT_TRUE(rc.enableMinQP && rc.enableMaxQP);
    EXPECT_EQ(rc.minQP.qpInterP, 16u);  // 51 - 51 * 70 / 100
    EXPECT_EQ(rc.maxQP.qpIntra, 26u);   // 51 - 51 * 50 / 100
    EXPECT_EQ(rc.multiPass, NV_ENC_TWO_PASS_QUARTER_RESOLUTION);  // the preset's
    EXPECT_EQ(rc.vbvBufferSize, 1234u);
    api::set_session_rate_control(config, {4000000, 8000000, 100, h264.max_quantiser()}, true, h264);
    EXPECT_EQ(rc.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
    EXPECT_EQ(rc.constQP.qpInterP + rc.constQP.qpInterB + rc.constQP.qpIntra, 0u);
    EXPECT_EQ(rc.multiPass, NV_ENC_MULTI_PASS_DISABLED);
    EXPECT_EQ(config.encodeCodecConfig.h264Config.qpPrimeYZeroTransformBypassFlag, 1u);
    EXPECT_EQ(api::kFrameRate.num, 30u);
    EXPECT_EQ(api::kFrameRate.den, 1u);
    EXPECT_EQ(api::version_word<NV_ENC_PIC_PARAMS>(), 0xF006000Cu);
    EXPECT_EQ(sizeof(NV_ENC_PIC_PARAMS), 3360u);
}

// Each codec of the API-12.0 build: its profile for each chroma format, the quantiser bounds of a quality
// on its scale, and the members of its configuration a stream needs.
TEST(Api12Codecs, ProfilesQuantisersAndConfiguration) {
    struct Row {
        const char* encoding;
        const GUID* profile_420;
        const GUID* profile_444;
        uint32_t max_qp_at_50;   // the intra bound of quality 50 on the codec's scale
        uint32_t min_qp_at_100;  // the lowest of a lossy quality 100: never AV1's lossless 0
    };
    const Row rows[] = {
        {"h264", nullptr, &NV_ENC_H264_PROFILE_HIGH_444_GUID, 26, 0},
        {"h265", &NV_ENC_HEVC_PROFILE_MAIN_GUID, &NV_ENC_HEVC_PROFILE_FREXT_GUID, 26, 0},
        {"av1", &NV_ENC_AV1_PROFILE_MAIN_GUID, &NV_ENC_AV1_PROFILE_MAIN_GUID, 130, 1},
    };
    ASSERT_EQ(all_codecs().size(), 3u);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.encoding);
        const Codec* codec = find_codec(r.encoding);
        ASSERT_NE(codec, nullptr);
        EXPECT_EQ(all_codecs()[i], codec);  // the order of preference
        for (const bool yuv444 : {false, true}) {
            const GUID* expected = yuv444 ? r.profile_444 : r.profile_420;
            const GUID* profile = codec->profile(yuv444);
            ASSERT_EQ(profile == nullptr, expected == nullptr);
            if (profile) {
                EXPECT_TRUE(nvenc_same_guid(*profile, *expected));
            }
        }
        NV_ENC_CONFIG config{};
        const int top = codec->max_quantiser(), lowest = codec->min_lossy_quantiser();
        api::set_session_rate_control(config, {4000000, 8000000, 100, top, lowest}, false, *codec);
        EXPECT_EQ(config.rcParams.minQP.qpInterP, r.min_qp_at_100);
        EXPECT_EQ(config.rcParams.maxQP.qpIntra, r.min_qp_at_100);
        api::set_session_rate_control(config, {4000000, 8000000, 50, top, lowest}, false, *codec);
        EXPECT_EQ(config.rcParams.maxQP.qpIntra, r.max_qp_at_50);
        codec->set_session_config(config, codec->has_yuv444());
        NV_ENC_PIC_PARAMS picture{};
        codec->set_picture(picture, 3, true);
        if (codec == &h265_codec()) {
            const NV_ENC_CONFIG_HEVC& hevc = config.encodeCodecConfig.hevcConfig;
            EXPECT_EQ(hevc.chromaFormatIDC, NVENC_CHROMA_FORMAT_IDC_444);
            EXPECT_EQ(hevc.idrPeriod, NVENC_INFINITE_GOPLENGTH);
            EXPECT_EQ(hevc.repeatSPSPPS, 1u);
            EXPECT_EQ(picture.codecPicParams.hevcPicParams.sliceModeData, 1u);
        }
        if (codec == &av1_codec()) {
            const NV_ENC_CONFIG_AV1& av1 = config.encodeCodecConfig.av1Config;
            EXPECT_FALSE(codec->has_yuv444());
            EXPECT_EQ(av1.chromaFormatIDC, NVENC_CHROMA_FORMAT_IDC_420);
            EXPECT_EQ(av1.idrPeriod, NVENC_INFINITE_GOPLENGTH);
            EXPECT_EQ(av1.repeatSeqHdr, 1u);
            EXPECT_EQ(av1.outputAnnexBFormat, 0u);
            EXPECT_EQ(picture.codecPicParams.av1PicParams.refPicFlag, 1u);
        }
    }
    EXPECT_EQ(find_codec("vp9"), nullptr);
}

}  // namespace
}  // namespace tevu::nvenc
