// The NVENC stand-in as API 12.0 clients see it (P1-P7 presets with a tuning, real rate control, bitrate
// changes within the stream, the last error's text), and as every client sees a driver from 590 on.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>

#include "standin_fixture.h"

using namespace nvenc_test;

namespace {

const GUID kTunedPresets[] = {NV_ENC_PRESET_P1_GUID, NV_ENC_PRESET_P2_GUID, NV_ENC_PRESET_P3_GUID,
                              NV_ENC_PRESET_P4_GUID, NV_ENC_PRESET_P5_GUID, NV_ENC_PRESET_P6_GUID,
                              NV_ENC_PRESET_P7_GUID};

constexpr int kFramesPerSecond = 30;  // what an API 12.0 client of these tests declares

std::vector<GUID> preset_list(const NV_ENCODE_API_FUNCTION_LIST& api, void* session) {
    GUID guids[32];
    uint32_t count = 0;
    check(api.nvEncGetEncodePresetGUIDs(session, NV_ENC_CODEC_H264_GUID, guids, 32, &count),
          "nvEncGetEncodePresetGUIDs");
    return std::vector<GUID>(guids, guids + count);
}

bool only_tuned_presets(const std::vector<GUID>& list) {
    if (list.size() != std::size(kTunedPresets))
        return false;
    for (size_t i = 0; i < list.size(); ++i)
        if (!nvenc_same_guid(list[i], kTunedPresets[i]))
            return false;
    return true;
}

NVENCSTATUS preset_config_ex(const NV_ENCODE_API_FUNCTION_LIST& api, void* session, const GUID& preset,
                             NV_ENC_TUNING_INFO tuning, NV_ENC_CONFIG& config) {
    NV_ENC_PRESET_CONFIG p;
    nvenc_reset(p, NVENC_API_V12);
    p.presetCfg.version = nvenc_struct_version<NV_ENC_CONFIG>(NVENC_API_V12);
    const NVENCSTATUS status = api.nvEncGetEncodePresetConfigEx(session, NV_ENC_CODEC_H264_GUID, preset, tuning, &p);
    config = p.presetCfg;
    return status;
}

NVENCSTATUS legacy_preset_config(const NV_ENCODE_API_FUNCTION_LIST& api, void* session, uint32_t version,
                                 const GUID& preset) {
    NV_ENC_PRESET_CONFIG p;
    nvenc_reset(p, version);
    p.presetCfg.version = nvenc_struct_version<NV_ENC_CONFIG>(version);
    return api.nvEncGetEncodePresetConfig(session, NV_ENC_CODEC_H264_GUID, preset, &p);
}

EncoderOptions api12_options(NV_ENC_TUNING_INFO tuning, int width = 320, int height = 192) {
    EncoderOptions o;
    o.api = NVENC_API_V12;
    o.preset = NV_ENC_PRESET_P4_GUID;
    o.tuning = tuning;
    o.width = width;
    o.height = height;
    return o;
}

// A bitrate stream's rate control as the API-12 module sets it.
std::function<void(NV_ENC_CONFIG&)> bitrate_control(NV_ENC_PARAMS_RC_MODE mode, uint32_t average,
                                                    uint32_t min_qp = 0, uint32_t max_qp = 0) {
    return [=](NV_ENC_CONFIG& c) {
        NV_ENC_RC_PARAMS& rc = c.rcParams;
        rc.rateControlMode = mode;
        rc.averageBitRate = average;
        rc.maxBitRate = mode == NV_ENC_PARAMS_RC_CBR ? average : 2 * average;
        rc.enableMinQP = min_qp != 0;
        rc.enableMaxQP = max_qp != 0;
        rc.minQP = {min_qp, min_qp, min_qp};
        rc.maxQP = {max_qp, max_qp, max_qp};
    };
}

double bits_per_second(size_t bytes, size_t frames) { return 8.0 * double(bytes) * kFramesPerSecond / double(frames); }

// The quantiser of each slice, as a decoder reads it: 26 + pic_init_qp_minus26 + slice_qp_delta.
std::vector<long> slice_quantisers(const std::vector<uint8_t>& stream) {
    const std::vector<long> init = header_values(stream, "pic_init_qp_minus26");
    std::vector<long> qps = header_values(stream, "slice_qp_delta");
    for (long& qp : qps)
        qp += 26 + (init.empty() ? 0 : init.front());
    return qps;
}

}  // namespace

class StandinApi12 : public StandinClient {
protected:
    // Encodes `frames` pictures of the busy desktop, continuing from `first`.
    EncodedRun encode_busy(ClientEncoder& encoder, const EncoderOptions& o, int first, int frames) {
        EncodedRun run;
        for (int i = first; i < first + frames; ++i) {
            run.pictures.push_back(encoder.encode(desktop_bgrx(o.width, o.height, i, true)));
            run.stream.insert(run.stream.end(), run.pictures.back().begin(), run.pictures.back().end());
        }
        return run;
    }
};

TEST_F(StandinApi12, TablesAndSessionsFollowTheNewestApi) {
    struct Case {
        const char* max_api;  // NVENC_EMU_MAX_API; null: the default
        uint32_t newest;
        NVENCSTATUS v12_table, v12_session, v5_session;
    };
    const Case cases[] = {
        {nullptr, 0xC2, NV_ENC_SUCCESS, NV_ENC_SUCCESS, NV_ENC_SUCCESS},
        {"12.0", 0xC0, NV_ENC_SUCCESS, NV_ENC_SUCCESS, NV_ENC_SUCCESS},
        {"11.1", 0xB1, NV_ENC_SUCCESS, NV_ENC_ERR_INVALID_VERSION, NV_ENC_SUCCESS},
        {"9.0", 0x90, NV_ENC_SUCCESS, NV_ENC_ERR_INVALID_VERSION, NV_ENC_SUCCESS},
        {"8.1", 0x81, NV_ENC_ERR_INVALID_VERSION, NV_ENC_ERR_INVALID_VERSION, NV_ENC_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.max_api ? c.max_api : "default");
        std::optional<ScopedEnv> setting;
        if (c.max_api)
            setting.emplace("NVENC_EMU_MAX_API", c.max_api);
        uint32_t newest = 0;
        EXPECT_EQ(max_supported_version_entry()(&newest), NV_ENC_SUCCESS);
        EXPECT_EQ(newest, c.newest);
        NV_ENCODE_API_FUNCTION_LIST v12;
        nvenc_reset(v12, NVENC_API_V12);
        ASSERT_EQ(create_instance_entry()(&v12), c.v12_table);
        if (c.v12_table == NV_ENC_SUCCESS) {
            EXPECT_NE(v12.nvEncGetEncodePresetConfigEx, nullptr);
            EXPECT_NE(v12.nvEncGetLastErrorString, nullptr);
            void* handle = nullptr;
            EXPECT_EQ(Session::open(v12, context_->handle(), NVENC_API_V12, &handle), c.v12_session);
            if (handle) {
                EXPECT_EQ(v12.nvEncDestroyEncoder(handle), NV_ENC_SUCCESS);
            }
            EXPECT_EQ(Session::open(v12, context_->handle(), NVENC_API_V5, &handle), NV_ENC_ERR_INVALID_VERSION)
                << "API 5.0 session parameters through an API 12.0 table";
        }
        const NV_ENCODE_API_FUNCTION_LIST v5 = function_list(NVENC_API_V5);
        EXPECT_EQ(v5.nvEncGetEncodePresetConfigEx, nullptr) << "API 12.0 slots in an API 5.0 table";
        EXPECT_EQ(v5.nvEncGetLastErrorString, nullptr);
        void* handle = nullptr;
        EXPECT_EQ(Session::open(v5, context_->handle(), NVENC_API_V5, &handle), c.v5_session);
        if (handle) {
            EXPECT_EQ(v5.nvEncDestroyEncoder(handle), NV_ENC_SUCCESS);
        }
    }
}

TEST_F(StandinApi12, PresetsOfEachClientAndDriver) {
    struct Case {
        uint32_t api;
        const char* legacy;  // NVENC_EMU_LEGACY_PRESETS
        bool tuned_only;
    };
    const Case cases[] = {
        {NVENC_API_V12, "1", true}, {NVENC_API_V12, "0", true}, {NVENC_API_V5, "1", false},
        {NVENC_API_V5, "0", true},  {NVENC_API_V4, "0", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.api >> 4) + " legacy=" + c.legacy);
        ScopedEnv legacy("NVENC_EMU_LEGACY_PRESETS", c.legacy);
        const NV_ENCODE_API_FUNCTION_LIST api = function_list(c.api);
        Session session(api, context_->handle(), c.api);
        const std::vector<GUID> list = preset_list(api, session.handle());
        EXPECT_EQ(only_tuned_presets(list), c.tuned_only);
        if (!c.tuned_only) {
            EXPECT_EQ(list.size(), 10u) << "the presets of API 4.0/5.0";
        }
        if (c.api == NVENC_API_V12)
            continue;
        // The call without Ex, and the presets of the older APIs, are gone from driver 590 on.
        const NVENCSTATUS legacy_status = c.tuned_only ? NV_ENC_ERR_INVALID_PARAM : NV_ENC_SUCCESS;
        EXPECT_EQ(legacy_preset_config(api, session.handle(), c.api, NV_ENC_PRESET_DEFAULT_GUID), legacy_status);
        EXPECT_EQ(legacy_preset_config(api, session.handle(), c.api, NV_ENC_PRESET_P4_GUID),
                  NV_ENC_ERR_INVALID_PARAM);
        NV_ENC_INITIALIZE_PARAMS init;
        nvenc_reset(init, c.api);
        init.encodeGUID = NV_ENC_CODEC_H264_GUID;
        init.presetGUID = NV_ENC_PRESET_LOW_LATENCY_HQ_GUID;
        init.encodeWidth = init.encodeHeight = 64;
        EXPECT_EQ(api.nvEncInitializeEncoder(session.handle(), &init),
                  c.tuned_only ? NV_ENC_ERR_INVALID_PARAM : NV_ENC_SUCCESS);
    }
}

TEST_F(StandinApi12, ConfigurationsFollowTheTuning) {
    struct Case {
        NV_ENC_TUNING_INFO tuning;
        NV_ENC_PARAMS_RC_MODE mode;
        bool lossless;
    };
    const Case cases[] = {
        {NV_ENC_TUNING_INFO_HIGH_QUALITY, NV_ENC_PARAMS_RC_VBR, false},
        {NV_ENC_TUNING_INFO_LOW_LATENCY, NV_ENC_PARAMS_RC_CBR, false},
        {NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY, NV_ENC_PARAMS_RC_CBR, false},
        {NV_ENC_TUNING_INFO_LOSSLESS, NV_ENC_PARAMS_RC_CONSTQP, true},
    };
    const NV_ENCODE_API_FUNCTION_LIST api = function_list(NVENC_API_V12);
    Session session(api, context_->handle(), NVENC_API_V12);
    for (const Case& c : cases)
        for (const GUID& preset : kTunedPresets) {
            SCOPED_TRACE("tuning " + std::to_string(c.tuning));
            NV_ENC_CONFIG config;
            ASSERT_EQ(preset_config_ex(api, session.handle(), preset, c.tuning, config), NV_ENC_SUCCESS);
            EXPECT_EQ(config.version, nvenc_struct_version<NV_ENC_CONFIG>(NVENC_API_V12));
            const NV_ENC_RC_PARAMS& rc = config.rcParams;
            EXPECT_EQ(rc.rateControlMode, c.mode);
            const NV_ENC_CONFIG_H264& h = config.encodeCodecConfig.h264Config;
            EXPECT_EQ(h.qpPrimeYZeroTransformBypassFlag, c.lossless ? 1u : 0u);
            if (c.lossless) {
                EXPECT_EQ(rc.constQP.qpInterP + rc.constQP.qpInterB + rc.constQP.qpIntra, 0u);
                EXPECT_EQ(h.chromaFormatIDC, uint32_t(NVENC_CHROMA_FORMAT_IDC_444));
            } else {
                EXPECT_GT(rc.averageBitRate, 0u);
                EXPECT_GE(rc.maxBitRate, rc.averageBitRate);
            }
        }
    NV_ENC_CONFIG config;
    EXPECT_EQ(preset_config_ex(api, session.handle(), NV_ENC_PRESET_P4_GUID, NV_ENC_TUNING_INFO_UNDEFINED, config),
              NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(preset_config_ex(api, session.handle(), NV_ENC_PRESET_HQ_GUID, NV_ENC_TUNING_INFO_HIGH_QUALITY, config),
              NV_ENC_ERR_INVALID_PARAM)
        << "a preset of API 5.0";
    ScopedEnv no_lossless("NVENC_EMU_CAPS", "34=0");
    Session without(api, context_->handle(), NVENC_API_V12);
    EXPECT_EQ(preset_config_ex(api, without.handle(), NV_ENC_PRESET_P4_GUID, NV_ENC_TUNING_INFO_LOSSLESS, config),
              NV_ENC_ERR_UNSUPPORTED_PARAM);
}

// Each refused initialisation leaves its reason for nvEncGetLastErrorString.
TEST_F(StandinApi12, RefusedInitialisationsTellWhy) {
    struct Case {
        const char* name;
        std::function<void(EncoderOptions&)> change;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"tuning 0", [](EncoderOptions& o) { o.configure = [](NV_ENC_CONFIG&) {}; o.tuning = {}; }, "tuning"},
        {"lossless 4:2:0",
         [](EncoderOptions& o) {
             o.tuning = NV_ENC_TUNING_INFO_LOSSLESS;
             o.configure = [](NV_ENC_CONFIG& c) { c.encodeCodecConfig.h264Config.chromaFormatIDC = 1; };
         },
         "4:4:4"},
        {"VBR_HQ", [](EncoderOptions& o) { o.configure = [](NV_ENC_CONFIG& c) { c.rcParams.rateControlMode = NV_ENC_PARAMS_RC_VBR_HQ; }; },
         "rate-control mode"},
        {"VBR_MINQP", [](EncoderOptions& o) { o.configure = [](NV_ENC_CONFIG& c) { c.rcParams.rateControlMode = NV_ENC_PARAMS_RC_VBR_MINQP; }; },
         "rate-control mode"},
    };
    for (const Case& c : cases) {
        EncoderOptions o = api12_options(NV_ENC_TUNING_INFO_LOW_LATENCY);
        c.change(o);
        const NV_ENCODE_API_FUNCTION_LIST api = function_list(NVENC_API_V12);
        Session session(api, context_->handle(), NVENC_API_V12);
        NV_ENC_CONFIG config;
        const NV_ENC_TUNING_INFO config_tuning = o.tuning ? o.tuning : NV_ENC_TUNING_INFO_LOW_LATENCY;
        ASSERT_EQ(preset_config_ex(api, session.handle(), o.preset, config_tuning, config), NV_ENC_SUCCESS);
        o.configure(config);
        NV_ENC_INITIALIZE_PARAMS init;
        nvenc_reset(init, NVENC_API_V12);
        init.encodeGUID = NV_ENC_CODEC_H264_GUID;
        init.presetGUID = o.preset;
        init.tuningInfo = o.tuning;
        init.encodeWidth = init.encodeHeight = 64;
        init.frameRateNum = kFramesPerSecond;
        init.frameRateDen = 1;
        init.encodeConfig = &config;
        EXPECT_STREQ(api.nvEncGetLastErrorString(session.handle()), "") << "before any failure";
        EXPECT_EQ(api.nvEncInitializeEncoder(session.handle(), &init), NV_ENC_ERR_INVALID_PARAM) << c.name;
        const std::string text = api.nvEncGetLastErrorString(session.handle());
        EXPECT_EQ(text.rfind("nvEncInitializeEncoder: ", 0), 0u) << text;
        EXPECT_NE(text.find(c.reason), std::string::npos) << c.name << ": " << text;
    }
}

// 120 pictures of a busy 1280x720 desktop at 30 frames per second: each stream's bitrate is near its
// target, and a higher target gives a larger stream.
TEST_F(StandinApi12, BitratesAreMetAtTheDeclaredFrameRate) {
    constexpr int kFrames = 120;
    struct Case {
        NV_ENC_TUNING_INFO tuning;
        NV_ENC_PARAMS_RC_MODE mode;
        uint32_t low, high;  // targets, bits per second
    };
    const Case cases[] = {
        {NV_ENC_TUNING_INFO_HIGH_QUALITY, NV_ENC_PARAMS_RC_VBR, 1500000, 4000000},
        {NV_ENC_TUNING_INFO_LOW_LATENCY, NV_ENC_PARAMS_RC_CBR, 1500000, 4000000},
    };
    for (const Case& c : cases) {
        size_t sizes[2] = {};
        for (int i = 0; i < 2; ++i) {
            const uint32_t target = i ? c.high : c.low;
            EncoderOptions o = api12_options(c.tuning, 1280, 720);
            o.configure = bitrate_control(c.mode, target);
            ClientEncoder encoder(*context_, *kernels_, o);
            const EncodedRun run = encode_busy(encoder, o, 0, kFrames);
            sizes[i] = run.stream.size();
            const double rate = bits_per_second(run.stream.size(), kFrames);
            std::cout << "mode " << c.mode << " target " << target << " measured " << rate << " bit/s\n";
            EXPECT_NEAR(rate, target, 0.35 * target) << "mode " << c.mode;
            const DecodedStream decoded = decode_h264(run.stream, false);
            EXPECT_EQ(decoded.error, "");
            EXPECT_EQ(decoded.frames.size(), size_t(kFrames));
        }
        EXPECT_GT(sizes[1], sizes[0] * 3 / 2) << "mode " << c.mode;
    }
}

// Without bounds, the low target takes quantisers above 40 and the high one 1: both are held inside theirs,
// in the slice headers and in the pictures' averages that the lock reports.
TEST_F(StandinApi12, QuantiserBoundsHold) {
    constexpr int kFrames = 30;
    struct Case {
        uint32_t target, min_qp, max_qp;
    };
    const Case cases[] = {{200000, 24, 30}, {20000000, 30, 36}};
    for (const Case& c : cases) {
        EncoderOptions o = api12_options(NV_ENC_TUNING_INFO_HIGH_QUALITY, 640, 352);
        o.configure = bitrate_control(NV_ENC_PARAMS_RC_VBR, c.target, c.min_qp, c.max_qp);
        ClientEncoder encoder(*context_, *kernels_, o);
        std::vector<uint8_t> stream;
        for (int i = 0; i < kFrames; ++i) {
            const std::vector<uint8_t> picture = encoder.encode(desktop_bgrx(o.width, o.height, i, true));
            stream.insert(stream.end(), picture.begin(), picture.end());
            EXPECT_GE(encoder.average_qp(), c.min_qp) << "target " << c.target << " picture " << i;
            EXPECT_LE(encoder.average_qp(), c.max_qp) << "target " << c.target << " picture " << i;
        }
        const std::vector<long> qps = slice_quantisers(stream);
        ASSERT_EQ(qps.size(), size_t(kFrames));
        for (long qp : qps) {
            EXPECT_GE(qp, long(c.min_qp)) << "target " << c.target;
            EXPECT_LE(qp, long(c.max_qp)) << "target " << c.target;
        }
    }
}

TEST_F(StandinApi12, FaultRulesReachTheNewEntryPoints) {
    const NV_ENCODE_API_FUNCTION_LIST api = function_list(NVENC_API_V12);
    {
        ScopedEnv fail("NVENC_EMU_FAIL", "NvEncodeAPIGetMaxSupportedVersion=20");
        uint32_t newest = 0;
        EXPECT_EQ(max_supported_version_entry()(&newest), NV_ENC_ERR_GENERIC);
    }
    {
        ScopedEnv fail("NVENC_EMU_FAIL", "nvEncGetEncodePresetConfigEx=10");
        try {
            ClientEncoder encoder(*context_, *kernels_, api12_options(NV_ENC_TUNING_INFO_LOW_LATENCY));
            ADD_FAILURE() << "set up without a preset configuration";
        } catch (const NvencError& e) {
            EXPECT_EQ(e.status, NV_ENC_ERR_OUT_OF_MEMORY);
        }
    }
    TempDir dir;
    ScopedEnv trace("NVENC_EMU_TRACE", dir.path("trace"));
    const EncoderOptions o = api12_options(NV_ENC_TUNING_INFO_LOW_LATENCY);
    ClientEncoder encoder(*context_, *kernels_, o);
    encoder.encode(desktop_bgrx(o.width, o.height, 0));
    {
        ScopedEnv fail("NVENC_EMU_FAIL", "nvEncReconfigureEncoder=8");
        try {
            encoder.reconfigure(o, false);
            ADD_FAILURE() << "reconfigured";
        } catch (const NvencError& e) {
            EXPECT_EQ(e.status, NV_ENC_ERR_INVALID_PARAM);
        }
        EXPECT_NE(std::string(api.nvEncGetLastErrorString(encoder.session())).find("nvEncReconfigureEncoder: failure injected"),
                  std::string::npos);
    }
    {
        ScopedEnv fail("NVENC_EMU_FAIL", "nvEncGetLastErrorString=20");
        EXPECT_EQ(api.nvEncGetLastErrorString(encoder.session()), nullptr);
    }
    const std::vector<std::string> lines = read_lines(dir.path("trace"));
    const auto ex = lines_of(lines, "nvEncGetEncodePresetConfigEx");
    ASSERT_EQ(ex.size(), 2u);  // the set-up's and the reconfiguration's
    EXPECT_TRUE(has_fields(ex[0], {"api=0xc0", "version=0xf004000c", "config_version=0xf008000c", "tuning=2", "status=0"}))
        << ex[0];
    const auto init = lines_of(lines, "nvEncInitializeEncoder");
    ASSERT_EQ(init.size(), 1u);
    EXPECT_TRUE(has_fields(init[0], {"tuning=2", "frame_rate=30/1", "rc=cbr", "status=0"})) << init[0];
    const auto errors = lines_of(lines, "nvEncGetLastErrorString");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_TRUE(has_fields(errors[1], {"injected=1", "status=20"})) << errors[1];
}

namespace {

std::vector<GUID> codec_list(const NV_ENCODE_API_FUNCTION_LIST& api, void* session) {
    GUID guids[8];
    uint32_t count = 0;
    check(api.nvEncGetEncodeGUIDs(session, guids, 8, &count), "nvEncGetEncodeGUIDs");
    return std::vector<GUID>(guids, guids + count);
}

bool same_guids(const std::vector<GUID>& a, const std::vector<GUID>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), nvenc_same_guid);
}

const GUID kH264 = NV_ENC_CODEC_H264_GUID, kHevc = NV_ENC_CODEC_HEVC_GUID, kAv1 = NV_ENC_CODEC_AV1_GUID;

}  // namespace

// A device of any year: NVENC_EMU_CODECS lists what it encodes; API 4.0/5.0 sessions never list AV1, and a
// codec not listed is refused at initialisation.
TEST_F(StandinApi12, CodecsListedAsTheDeviceHas) {
    struct Case {
        const char* codecs;  // NVENC_EMU_CODECS; null: unset
        std::vector<GUID> v12, v5;
        const char* report;  // what standard error says
    };
    const Case cases[] = {
        {nullptr, {kH264, kHevc, kAv1}, {kH264, kHevc}, ""},
        {"h264,hevc", {kH264, kHevc}, {kH264, kHevc}, ""},
        {"h264", {kH264}, {kH264}, ""},
        {"av1,h26x,h264", {kH264, kAv1}, {kH264},
         "nvenc stand-in: NVENC_EMU_CODECS: ignoring 'h26x': unknown codec\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codecs ? c.codecs : "unset");
        std::optional<ScopedEnv> setting;
        if (c.codecs)
            setting.emplace("NVENC_EMU_CODECS", c.codecs);
        ::testing::internal::CaptureStderr();
        const NV_ENCODE_API_FUNCTION_LIST v12 = function_list(NVENC_API_V12);
        Session session(v12, context_->handle(), NVENC_API_V12);
        EXPECT_TRUE(same_guids(codec_list(v12, session.handle()), c.v12));
        const NV_ENCODE_API_FUNCTION_LIST v5 = function_list(NVENC_API_V5);
        Session old(v5, context_->handle(), NVENC_API_V5);
        EXPECT_TRUE(same_guids(codec_list(v5, old.handle()), c.v5));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.report);
    }
    ScopedEnv h264_only("NVENC_EMU_CODECS", "h264");
    EncoderOptions o = api12_options(NV_ENC_TUNING_INFO_LOW_LATENCY);
    o.codec = kHevc;
    try {
        ClientEncoder encoder(*context_, *kernels_, o);
        ADD_FAILURE() << "HEVC set up on a device without it";
    } catch (const NvencError& e) {
        EXPECT_EQ(e.status, NV_ENC_ERR_INVALID_PARAM);
    }
}

// Capabilities, profiles and input formats per codec, and NVENC_EMU_CAPS items for one codec or all.
TEST_F(StandinApi12, CapabilitiesPerCodec) {
    struct Case {
        const char* caps;  // NVENC_EMU_CAPS
        GUID codec;
        NV_ENC_CAPS cap;
        int value;
    };
    const Case cases[] = {
        {"", kHevc, NV_ENC_CAPS_SUPPORT_YUV444_ENCODE, 1},    {"", kHevc, NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE, 1},
        {"", kAv1, NV_ENC_CAPS_SUPPORT_YUV444_ENCODE, 0},     {"", kAv1, NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE, 0},
        {"hevc:33=0", kHevc, NV_ENC_CAPS_SUPPORT_YUV444_ENCODE, 0},
        {"hevc:33=0", kH264, NV_ENC_CAPS_SUPPORT_YUV444_ENCODE, 1},
        {"av1:16=1024,16=2048", kAv1, NV_ENC_CAPS_WIDTH_MAX, 1024},
        {"av1:16=1024,16=2048", kHevc, NV_ENC_CAPS_WIDTH_MAX, 2048},
        {"hvec:33=0", kHevc, NV_ENC_CAPS_SUPPORT_YUV444_ENCODE, 1},
    };
    const NV_ENCODE_API_FUNCTION_LIST api = function_list(NVENC_API_V12);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.caps) + " cap " + std::to_string(c.cap));
        ScopedEnv caps("NVENC_EMU_CAPS", c.caps);
        ::testing::internal::CaptureStderr();
        Session session(api, context_->handle(), NVENC_API_V12);
        NV_ENC_CAPS_PARAM query;
        nvenc_reset(query, NVENC_API_V12);
        query.capsToQuery = c.cap;
        int value = -1;
        EXPECT_EQ(api.nvEncGetEncodeCaps(session.handle(), c.codec, &query, &value), NV_ENC_SUCCESS);
        EXPECT_EQ(value, c.value);
        const std::string report = ::testing::internal::GetCapturedStderr();
        if (std::string(c.caps) == "hvec:33=0") {
            EXPECT_EQ(report, "nvenc stand-in: NVENC_EMU_CAPS: ignoring 'hvec:33=0': unknown codec\n");
        }
    }
    Session session(api, context_->handle(), NVENC_API_V12);
    const std::pair<GUID, uint32_t> counts[] = {{kHevc, 2}, {kAv1, 1}};  // input formats
    for (const auto& [codec, formats] : counts) {
        uint32_t count = 0;
        EXPECT_EQ(api.nvEncGetInputFormatCount(session.handle(), codec, &count), NV_ENC_SUCCESS);
        EXPECT_EQ(count, formats);
    }
    GUID profiles[4];
    uint32_t count = 0;
    EXPECT_EQ(api.nvEncGetEncodeProfileGUIDs(session.handle(), kAv1, profiles, 4, &count), NV_ENC_SUCCESS);
    ASSERT_EQ(count, 1u);
    EXPECT_TRUE(nvenc_same_guid(profiles[0], NV_ENC_AV1_PROFILE_MAIN_GUID));
}

namespace {

struct CodecStream {
    const char* name;
    GUID codec;
    bool yuv444;
    NV_ENC_TUNING_INFO tuning;
    const char* format;  // ffmpeg's input format
    double min_psnr;     // 0: lossless, bit-exact
};

void PrintTo(const CodecStream& c, std::ostream* out) { *out << c.name; }

const CodecStream kCodecStreams[] = {
    {"hevc_420", kHevc, false, NV_ENC_TUNING_INFO_LOW_LATENCY, "hevc", 32},
    {"hevc_444", kHevc, true, NV_ENC_TUNING_INFO_LOW_LATENCY, "hevc", 32},
    {"hevc_lossless", kHevc, true, NV_ENC_TUNING_INFO_LOSSLESS, "hevc", 0},
    {"av1_420", kAv1, false, NV_ENC_TUNING_INFO_LOW_LATENCY, "obu", 32},
};

bool is_hevc(const GUID& codec) { return nvenc_same_guid(codec, kHevc); }
bool is_h264(const GUID& codec) { return nvenc_same_guid(codec, kH264); }

// Whether a picture is a key picture with its parameter sets first: SPS, PPS and an IDR slice for H.264,
// VPS, SPS, PPS and an IDR slice for HEVC; a temporal delimiter, the sequence header and a frame for AV1.
bool starts_a_stream(const GUID& codec, const std::vector<uint8_t>& picture) {
    if (is_h264(codec))
        return nal_types(picture) == std::vector<int>{7, 8, 5};
    if (is_hevc(codec)) {
        const std::vector<int> types = nal_types(picture, true);
        return types.size() == 4 && types[0] == 32 && types[1] == 33 && types[2] == 34 && (types[3] == 19 || types[3] == 20);
    }
    return obu_types(picture) == std::vector<int>{2, 1, 6};
}

// Whether a picture refers to earlier ones only: no parameter sets, no key picture.
bool continues_the_stream(const GUID& codec, const std::vector<uint8_t>& picture) {
    if (is_h264(codec) || is_hevc(codec))
        return nal_types(picture, is_hevc(codec)) == std::vector<int>{1};
    return obu_types(picture) == std::vector<int>{2, 6};
}

EncoderOptions codec_options(const GUID& codec, NV_ENC_TUNING_INFO tuning, int width, int height) {
    EncoderOptions o = api12_options(tuning, width, height);
    o.codec = codec;
    return o;
}

}  // namespace

class StandinApi12Codecs : public StandinClient, public ::testing::WithParamInterface<CodecStream> {};

// Six pictures, the fourth a forced IDR: each key picture starts a stream, the others continue it, and the
// stream decodes close to (lossless: exactly to) the kernel's planes, in the chroma format encoded.
TEST_P(StandinApi12Codecs, StreamDecodesWithKeyPicturesWhereAsked) {
    const CodecStream& c = GetParam();
    EncoderOptions o = codec_options(c.codec, c.tuning, 320, 192);
    o.yuv444 = c.yuv444;
    ClientEncoder encoder(*context_, *kernels_, o);
    EncodedRun run;
    for (int i = 0; i < 6; ++i) {
        run.pictures.push_back(encoder.encode(desktop_bgrx(o.width, o.height, i), i == 3));
        run.stream.insert(run.stream.end(), run.pictures.back().begin(), run.pictures.back().end());
        run.converted.push_back(encoder.converted());
        const bool key = i == 0 || i == 3;
        EXPECT_TRUE(key ? starts_a_stream(c.codec, run.pictures[i]) : continues_the_stream(c.codec, run.pictures[i]))
            << "picture " << i;
    }
    const DecodedStream decoded = decode_stream(run.stream, c.yuv444, c.format);
    ASSERT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.pixel_format, c.yuv444 ? "yuv444p" : "yuv420p");
    ASSERT_EQ(decoded.frames.size(), run.converted.size());
    for (size_t i = 0; i < decoded.frames.size(); ++i) {
        if (c.min_psnr == 0)
            EXPECT_TRUE(identical(decoded.frames[i], run.converted[i])) << "picture " << i;
        else
            EXPECT_GE(psnr(decoded.frames[i], run.converted[i]), c.min_psnr) << "picture " << i;
    }
}

// A failure injected into the codec's session reaches the client, which cleans up (the leak reports are
// checked by StandinClient.NothingLeftInTheCudaDriver); the pictures before it decode.
TEST_P(StandinApi12Codecs, InjectedFailuresReachTheClient) {
    const CodecStream& c = GetParam();
    for (const char* rule : {"nvEncEncodePicture=18@3", "nvEncLockBitstream=13@2", "nvEncInitializeEncoder=10"}) {
        ScopedEnv fail("NVENC_EMU_FAIL", rule);
        std::vector<uint8_t> stream;
        try {
            EncoderOptions o = codec_options(c.codec, c.tuning, 320, 192);
            o.yuv444 = c.yuv444;
            ClientEncoder encoder(*context_, *kernels_, o);
            for (int i = 0; i < 4; ++i) {
                const std::vector<uint8_t> picture = encoder.encode(desktop_bgrx(o.width, o.height, i));
                stream.insert(stream.end(), picture.begin(), picture.end());
            }
            ADD_FAILURE() << rule << " had no effect";
        } catch (const NvencError&) {
        }
        if (!stream.empty()) {
            EXPECT_EQ(decode_stream(stream, c.yuv444, c.format).error, "") << rule;
        }
    }
}

// The trace names the codec of an initialisation, and NVENC_EMU_NULL gives the codec's smallest unit: an
// access unit delimiter (HEVC), a temporal delimiter (AV1).
TEST_P(StandinApi12Codecs, TraceAndNullEncodeFollowTheCodec) {
    const CodecStream& c = GetParam();
    TempDir dir;
    ScopedEnv trace("NVENC_EMU_TRACE", dir.path("trace"));
    ScopedEnv null("NVENC_EMU_NULL", "1");
    EncoderOptions o = codec_options(c.codec, c.tuning, 320, 192);
    o.yuv444 = c.yuv444;
    ClientEncoder encoder(*context_, *kernels_, o);
    const std::vector<uint8_t> picture = encoder.encode(desktop_bgrx(o.width, o.height, 0));
    if (is_hevc(c.codec))
        EXPECT_EQ(nal_types(picture, true), std::vector<int>{35});
    else
        EXPECT_EQ(obu_types(picture), std::vector<int>{2});
    const auto init = lines_of(read_lines(dir.path("trace")), "nvEncInitializeEncoder");
    ASSERT_EQ(init.size(), 1u);
    const std::string codec = is_hevc(c.codec) ? "codec=hevc" : "codec=av1";
    EXPECT_TRUE(has_fields(init[0], {codec, c.yuv444 ? "chroma=3" : "chroma=1", "status=0"})) << init[0];
}

INSTANTIATE_TEST_SUITE_P(Streams, StandinApi12Codecs, ::testing::ValuesIn(kCodecStreams),
                         [](const ::testing::TestParamInfo<CodecStream>& info) { return std::string(info.param.name); });

namespace {

struct CodecRate {
    const char* name;
    GUID codec;
    const char* format;
    uint32_t min_qp, max_qp;  // on the codec's scale: AV1's runs to 255
};

void PrintTo(const CodecRate& c, std::ostream* out) { *out << c.name; }

const CodecRate kCodecRates[] = {
    {"h264", kH264, "h264", 30, 36},
    {"hevc", kHevc, "hevc", 30, 36},
    {"av1", kAv1, "obu", 100, 140},
};

}  // namespace

class StandinApi12CodecRates : public StandinApi12, public ::testing::WithParamInterface<CodecRate> {};

// A new bitrate without a reset goes on within the stream at the new rate, without a key picture, and
// decodes as one stream; a reset gives a key picture.
TEST_P(StandinApi12CodecRates, BitrateChangeWithinTheStream) {
    constexpr int kFrames = 30;
    const CodecRate& c = GetParam();
    EncoderOptions o = codec_options(c.codec, NV_ENC_TUNING_INFO_LOW_LATENCY, 640, 352);
    o.configure = bitrate_control(NV_ENC_PARAMS_RC_CBR, 300000);
    ClientEncoder encoder(*context_, *kernels_, o);
    const EncodedRun before = encode_busy(encoder, o, 0, kFrames);
    EncoderOptions faster = o;
    faster.configure = bitrate_control(NV_ENC_PARAMS_RC_CBR, 1500000);
    encoder.reconfigure(faster, false);
    const EncodedRun after = encode_busy(encoder, faster, kFrames, kFrames);
    for (size_t i = 0; i < after.pictures.size(); ++i)
        ASSERT_TRUE(continues_the_stream(c.codec, after.pictures[i])) << "picture " << kFrames + i;
    // The key picture and the rate control's first steps are left out of the rate before.
    constexpr int kSettled = 10;
    size_t settled_bytes = 0;
    for (int i = kSettled; i < kFrames; ++i)
        settled_bytes += before.pictures[i].size();
    const double rate_before = bits_per_second(settled_bytes, kFrames - kSettled);
    const double rate_after = bits_per_second(after.stream.size(), kFrames);
    std::cout << c.name << ": before " << rate_before << " bit/s, after " << rate_after << " bit/s\n";
    EXPECT_GT(rate_after, 1.5 * rate_before);
    encoder.reconfigure(faster, true);
    EXPECT_TRUE(starts_a_stream(c.codec, encoder.encode(desktop_bgrx(o.width, o.height, 2 * kFrames, true))));
    std::vector<uint8_t> stream = before.stream;
    stream.insert(stream.end(), after.stream.begin(), after.stream.end());
    const DecodedStream decoded = decode_stream(stream, false, c.format);
    EXPECT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.frames.size(), size_t(2 * kFrames));
}

// A low target pushes the quantiser up, a high one down: both stay within the bounds.
TEST_P(StandinApi12CodecRates, QuantiserBoundsHold) {
    const CodecRate& c = GetParam();
    for (uint32_t target : {100000u, 20000000u}) {
        EncoderOptions o = codec_options(c.codec, NV_ENC_TUNING_INFO_HIGH_QUALITY, 640, 352);
        o.configure = bitrate_control(NV_ENC_PARAMS_RC_VBR, target, c.min_qp, c.max_qp);
        ClientEncoder encoder(*context_, *kernels_, o);
        for (int i = 0; i < 10; ++i) {
            encoder.encode(desktop_bgrx(o.width, o.height, i, true));
            EXPECT_GE(encoder.average_qp(), c.min_qp) << "target " << target << " picture " << i;
            EXPECT_LE(encoder.average_qp(), c.max_qp) << "target " << target << " picture " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, StandinApi12CodecRates, ::testing::ValuesIn(kCodecRates),
                         [](const ::testing::TestParamInfo<CodecRate>& info) { return std::string(info.param.name); });
