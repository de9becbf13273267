// From the client's NVENC configuration to the encoder settings: what is refused and what is kept.
#include "configuration.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tevu::standin::nvenc;

namespace {

struct Client {
    NV_ENC_INITIALIZE_PARAMS params{};
    NV_ENC_CONFIG config{};
    Preset preset{};
    Offer offer;
    Client() {
        preset = *find_preset(offer, Codec::H264, NV_ENC_PRESET_DEFAULT_GUID);
        config = preset_configuration(Codec::H264, preset, NVENC_API_V5);
        params.encodeWidth = 640;
        params.encodeHeight = 480;
        params.frameRateNum = 1;
        params.frameRateDen = 30;
    }
    Translation run() const { return translate(Codec::H264, params, config, preset, offer); }
};

}  // namespace

TEST(Configuration, RefusesWhatTheStandinDoesNotOffer) {
    struct Case {
        const char* name;
        std::function<void(Client&)> change;
        NVENCSTATUS status;
    };
    const std::vector<Case> cases = {
        {"B frames", [](Client& s) { s.config.frameIntervalP = 3; }, NV_ENC_ERR_UNSUPPORTED_PARAM},
        {"asynchronous mode", [](Client& s) { s.params.enableEncodeAsync = 1; }, NV_ENC_ERR_UNSUPPORTED_PARAM},
        {"field coding", [](Client& s) { s.config.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FIELD; },
         NV_ENC_ERR_UNSUPPORTED_PARAM},
        {"two-pass rate control", [](Client& s) { s.config.rcParams.rateControlMode = NV_ENC_PARAMS_RC_2_PASS_QUALITY; },
         NV_ENC_ERR_UNSUPPORTED_PARAM},
        {"stereo profile", [](Client& s) { s.config.profileGUID = NV_ENC_H264_PROFILE_STEREO_GUID; },
         NV_ENC_ERR_UNSUPPORTED_PARAM},
        {"chroma format 2", [](Client& s) { s.config.encodeCodecConfig.h264Config.chromaFormatIDC = 2; },
         NV_ENC_ERR_INVALID_PARAM},
        {"4:4:4 without the capability",
         [](Client& s) {
             s.offer.capability_overrides.every_codec[NV_ENC_CAPS_SUPPORT_YUV444_ENCODE] = 0;
             s.config.encodeCodecConfig.h264Config.chromaFormatIDC = NVENC_CHROMA_FORMAT_IDC_444;
         },
         NV_ENC_ERR_UNSUPPORTED_PARAM},
        {"lossless without the capability",
         [](Client& s) {
             s.offer.capability_overrides.every_codec[NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE] = 0;
             s.config.rcParams.constQP = {0, 0, 0};
             s.config.encodeCodecConfig.h264Config.qpPrimeYZeroTransformBypassFlag = 1;
         },
         NV_ENC_ERR_UNSUPPORTED_PARAM},
        {"zero width", [](Client& s) { s.params.encodeWidth = 0; }, NV_ENC_ERR_INVALID_PARAM},
        {"too high", [](Client& s) { s.params.encodeHeight = 8192; }, NV_ENC_ERR_INVALID_PARAM},
        {"the preset as it is", [](Client&) {}, NV_ENC_SUCCESS},
    };
    for (const Case& c : cases) {
        Client s;
        c.change(s);
        EXPECT_EQ(s.run().status, c.status) << c.name;
    }
}

TEST(Configuration, KeepsWhatTheClientAsked) {
    Client s;
    NV_ENC_RC_PARAMS& rc = s.config.rcParams;
    rc.rateControlMode = NV_ENC_PARAMS_RC_VBR;
    rc.averageBitRate = 3000000;
    rc.maxBitRate = 6000000;
    rc.enableMinQP = rc.enableMaxQP = 1;
    rc.minQP = {16, 16, 16};
    rc.maxQP = {26, 26, 26};
    NV_ENC_CONFIG_H264& h = s.config.encodeCodecConfig.h264Config;
    h.chromaFormatIDC = NVENC_CHROMA_FORMAT_IDC_444;
    h.entropyCodingMode = NV_ENC_H264_ENTROPY_CODING_MODE_CAVLC;
    h.h264VUIParameters.colourDescriptionPresentFlag = 1;
    h.h264VUIParameters.colourMatrix = 1;
    h.repeatSPSPPS = 1;
    s.params.enablePTD = 1;
    s.config.gopLength = 45;
    const Translation t = s.run();
    ASSERT_EQ(t.status, NV_ENC_SUCCESS);
    EXPECT_EQ(t.settings.width, 640);
    EXPECT_EQ(t.settings.height, 480);
    EXPECT_EQ(t.settings.fps_num, 1u);
    EXPECT_EQ(t.settings.fps_den, 30u);
    EXPECT_EQ(t.settings.chroma, ChromaFormat::Yuv444);
    EXPECT_EQ(t.settings.entropy, EntropyCoding::Cavlc);
    EXPECT_EQ(t.settings.rate.mode, RateControl::VariableBitrate);
    EXPECT_EQ(t.settings.rate.average_bitrate, 3000000u);
    EXPECT_EQ(t.settings.rate.max_bitrate, 6000000u);
    EXPECT_TRUE(t.settings.rate.range.min_enabled && t.settings.rate.range.max_enabled);
    EXPECT_EQ(t.settings.rate.range.min_qp, 16);
    EXPECT_EQ(t.settings.rate.range.max_qp, 26);
    EXPECT_TRUE(t.settings.colour.colour_description_present);
    EXPECT_EQ(t.settings.colour.matrix, 1);
    EXPECT_FALSE(t.settings.colour.signal_type_present);
    EXPECT_EQ(t.settings.speed, "superfast");
    EXPECT_EQ(t.settings.keyint, 45) << "the encoder picks the types: IDR every gopLength pictures";
    EXPECT_TRUE(t.settings.repeat_parameter_sets);
    s.params.enablePTD = 0;
    EXPECT_EQ(s.run().settings.keyint, 0) << "the client picks the types";
}

TEST(Configuration, LosslessPresetsAreLossless) {
    Offer offer;
    for (const Preset& p : presets(offer, Codec::H264)) {
        Client s;
        s.preset = p;
        s.config = preset_configuration(Codec::H264, p, NVENC_API_V4);
        EXPECT_EQ(s.config.version, nvenc_struct_version<NV_ENC_CONFIG>(NVENC_API_V4));
        const Translation t = s.run();
        ASSERT_EQ(t.status, NV_ENC_SUCCESS) << guid_text(p.guid);
        EXPECT_EQ(t.settings.lossless(), p.lossless) << guid_text(p.guid);
    }
    offer.capability_overrides.every_codec[NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE] = 0;
    for (const Preset& p : presets(offer, Codec::H264))
        EXPECT_FALSE(p.lossless) << "lossless presets are offered only with the capability";
}
