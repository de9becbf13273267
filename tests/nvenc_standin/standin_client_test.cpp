// The CUDA and NVENC stand-ins driven as a client drives them: BGRX frames uploaded, converted by the
// kernels, encoded, decoded again with ffmpeg; plus discovery, limits, versions, injected failures and
// the strict statuses for misuse.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "cuda_client.h"
#include "nvenc_client.h"
#include "picture_tools.h"
#include "standin_fixture.h"

using namespace nvenc_test;

namespace {

// A structure carrying the API 4.0 version word.
template <typename T>
T old_word() {
    T s;
    nvenc_reset(s, NVENC_API_V4);
    return s;
}

void set_module_rate(NV_ENC_RC_PARAMS& rc, NV_ENC_PARAMS_RC_MODE mode, uint32_t min_qp, uint32_t max_qp) {
    rc.rateControlMode = mode;
    rc.averageBitRate = 5000000;
    rc.maxBitRate = 10000000;
    rc.enableMinQP = rc.enableMaxQP = 1;
    rc.minQP = {min_qp, min_qp, min_qp};
    rc.maxQP = {max_qp, max_qp, max_qp};
}

}  // namespace

TEST_F(StandinClient, DesktopSequenceIn420DecodesCloseToTheSource) {
    for (uint32_t api : {NVENC_API_V5, NVENC_API_V4}) {
        EncoderOptions o;
        o.width = 640;
        o.height = 352;
        o.api = api;
        const EncodedRun run = encode(o, 8);
        EXPECT_EQ(nal_types(run.pictures[0]), (std::vector<int>{7, 8, 5})) << std::hex << api;
        for (size_t i = 1; i < run.pictures.size(); ++i)
            EXPECT_EQ(nal_types(run.pictures[i]), (std::vector<int>{1})) << "picture " << i;
        const DecodedStream decoded = decode_h264(run.stream, false);
        ASSERT_EQ(decoded.error, "");
        EXPECT_EQ(decoded.width, o.width);
        EXPECT_EQ(decoded.height, o.height);
        ASSERT_EQ(decoded.frames.size(), 8u);
        for (size_t i = 0; i < decoded.frames.size(); ++i)
            EXPECT_GE(psnr(decoded.frames[i], run.converted[i]), 38.0) << "frame " << i << " api " << std::hex << api;
    }
}

// The lossless presets of API 4.0/5.0, and the lossless tuning of API 12.0.
TEST_F(StandinClient, LosslessYuv444DecodesToTheKernelOutputExactly) {
    std::vector<EncoderOptions> lossless(3);
    lossless[0].preset = NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID;
    lossless[1].preset = NV_ENC_PRESET_LOSSLESS_HP_GUID;
    lossless[2].api = NVENC_API_V12;
    lossless[2].preset = NV_ENC_PRESET_P4_GUID;
    lossless[2].tuning = NV_ENC_TUNING_INFO_LOSSLESS;
    for (EncoderOptions& o : lossless) {
        o.yuv444 = true;
        const EncodedRun run = encode(o, 4);
        const DecodedStream decoded = decode_h264(run.stream, true);
        ASSERT_EQ(decoded.error, "");
        ASSERT_EQ(decoded.frames.size(), 4u);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_TRUE(identical(decoded.frames[i], run.converted[i])) << "frame " << i;
    }
}

TEST_F(StandinClient, TraceShowsWhatTheStandinReceived) {
    TempDir dir;
    const std::string trace_file = dir.path("trace");
    ScopedEnv trace("NVENC_EMU_TRACE", trace_file);
    EncoderOptions o;
    o.api = NVENC_API_V4;
    o.configure = [](NV_ENC_CONFIG& c) { set_module_rate(c.rcParams, NV_ENC_PARAMS_RC_VBR, 16, 26); };
    o.picture_rate = [](NV_ENC_RC_PARAMS& rc) { set_module_rate(rc, NV_ENC_PARAMS_RC_VBR, 16, 36); };
    const EncodedRun run = encode(o, 3);
    EXPECT_EQ(decode_h264(run.stream, false).frames.size(), 3u);

    const auto lines = read_lines(trace_file);
    const auto init = lines_of(lines, "nvEncInitializeEncoder");
    ASSERT_EQ(init.size(), 1u);
    EXPECT_TRUE(has_fields(init[0], {"api=0x40", "version=0xc0050710", "rc=vbr", "minqp=16,16,16",
                                     "maxqp=26,26,26", "avg_bitrate=5000000", "chroma=1", "status=0"}))
        << init[0];
    const auto pictures = lines_of(lines, "nvEncEncodePicture");
    ASSERT_EQ(pictures.size(), 4u);  // three pictures and the end of the stream
    EXPECT_TRUE(has_fields(pictures[0], {"version=0xc0030d10", "flags=0x4", "type=3", "pic_rc=vbr",
                                         "pic_minqp=16,16,16", "pic_maxqp=36,36,36", "status=0"}))
        << pictures[0];
    EXPECT_TRUE(has_fields(pictures[1], {"flags=0x0", "type=0", "pic_maxqp=36,36,36"})) << pictures[1];
    EXPECT_TRUE(has_fields(pictures[3], {"eos=1", "status=0"})) << pictures[3];
    EXPECT_EQ(lines_of(lines, "nvEncOpenEncodeSessionEx").size(), 1u);
}

TEST_F(StandinClient, NullModeReturnsAFixedTinyPicture) {
    ScopedEnv null_mode("NVENC_EMU_NULL", "1");
    const EncodedRun run = encode(EncoderOptions{}, 2);
    for (const auto& picture : run.pictures)
        EXPECT_EQ(picture, (std::vector<uint8_t>{0, 0, 0, 1, 0x09, 0xF0}));
}

// A full device refuses an open with the status NVENC_EMU_SESSION_LIMIT_STATUS chooses, and a handle that
// keeps its place until it is destroyed.
TEST_F(StandinClient, SessionLimitPerDevice) {
    ScopedEnv limit("NVENC_EMU_MAX_SESSIONS", "2");
    const auto api = function_list(NVENC_API_V5);
    for (const auto& [setting, status] : {std::pair<const char*, NVENCSTATUS>{"", NV_ENC_ERR_UNSUPPORTED_DEVICE},
                                          {"10", NV_ENC_ERR_OUT_OF_MEMORY},
                                          {"21", NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY},
                                          {"8", NV_ENC_ERR_UNSUPPORTED_DEVICE}}) {
        SCOPED_TRACE(setting);
        ScopedEnv answer("NVENC_EMU_SESSION_LIMIT_STATUS", setting);
        auto first = std::make_unique<Session>(api, context_->handle(), NVENC_API_V5);
        Session second(api, context_->handle(), NVENC_API_V5);
        void* refused = nullptr;
        EXPECT_EQ(Session::open(api, context_->handle(), NVENC_API_V5, &refused), status);
        ASSERT_NE(refused, nullptr);
        EXPECT_EQ(api.nvEncGetEncodeGUIDCount(refused, nullptr), NV_ENC_ERR_INVALID_ENCODERDEVICE) << "no session";
        first.reset();
        void* third = nullptr;
        EXPECT_EQ(Session::open(api, context_->handle(), NVENC_API_V5, &third), status) << "the place is kept";
        EXPECT_EQ(api.nvEncDestroyEncoder(third), NV_ENC_SUCCESS);
        EXPECT_EQ(api.nvEncDestroyEncoder(refused), NV_ENC_SUCCESS);
        EXPECT_EQ(api.nvEncDestroyEncoder(refused), NV_ENC_ERR_INVALID_ENCODERDEVICE) << "destroyed once";
        EXPECT_EQ(Session::open(api, context_->handle(), NVENC_API_V5, &third), NV_ENC_SUCCESS);
        EXPECT_EQ(api.nvEncDestroyEncoder(third), NV_ENC_SUCCESS);
    }
}

TEST_F(StandinClient, VersionMismatches) {
    NV_ENCODE_API_FUNCTION_LIST list;
    nvenc_reset(list, 0x60);
    EXPECT_EQ(create_instance_entry()(&list), NV_ENC_ERR_INVALID_VERSION) << "an API newer than the driver";
    nvenc_reset(list, NVENC_API_V5);
    list.version -= 8;
    EXPECT_EQ(create_instance_entry()(&list), NV_ENC_ERR_INVALID_VERSION) << "a table of another size";
    {
        ScopedEnv max_api("NVENC_EMU_MAX_API", "4.0");
        nvenc_reset(list, NVENC_API_V5);
        EXPECT_EQ(create_instance_entry()(&list), NV_ENC_ERR_INVALID_VERSION) << "above NVENC_EMU_MAX_API";
        EXPECT_NO_THROW(function_list(NVENC_API_V4));
    }
    void* handle = nullptr;
    const auto v4 = function_list(NVENC_API_V4);
    EXPECT_EQ(Session::open(v4, context_->handle(), NVENC_API_V5, &handle), NV_ENC_ERR_INVALID_VERSION)
        << "API 5.0 session parameters through an API 4.0 table";

    // Every structure of an API 5.0 session carrying the API 4.0 word.
    const auto v5 = function_list(NVENC_API_V5);
    Session session(v5, context_->handle(), NVENC_API_V5);
    void* s = session.handle();
    const GUID h264 = NV_ENC_CODEC_H264_GUID;
    int value = 0;
    const std::vector<std::pair<const char*, std::function<NVENCSTATUS()>>> calls = {
        {"caps", [&] { auto q = old_word<NV_ENC_CAPS_PARAM>(); return v5.nvEncGetEncodeCaps(s, h264, &q, &value); }},
        {"preset config", [&] {
             NV_ENC_PRESET_CONFIG p;
             nvenc_reset(p, NVENC_API_V5);
             p.presetCfg.version = nvenc_struct_version<NV_ENC_CONFIG>(NVENC_API_V4);
             return v5.nvEncGetEncodePresetConfig(s, h264, NV_ENC_PRESET_DEFAULT_GUID, &p);
         }},
        {"initialize", [&] { auto p = old_word<NV_ENC_INITIALIZE_PARAMS>(); return v5.nvEncInitializeEncoder(s, &p); }},
        {"register", [&] { auto p = old_word<NV_ENC_REGISTER_RESOURCE>(); return v5.nvEncRegisterResource(s, &p); }},
        {"bitstream", [&] { auto p = old_word<NV_ENC_CREATE_BITSTREAM_BUFFER>(); return v5.nvEncCreateBitstreamBuffer(s, &p); }},
        {"map", [&] { auto p = old_word<NV_ENC_MAP_INPUT_RESOURCE>(); return v5.nvEncMapInputResource(s, &p); }},
        {"picture", [&] {
             auto p = old_word<NV_ENC_PIC_PARAMS_V4>();
             return v5.nvEncEncodePicture(s, reinterpret_cast<NV_ENC_PIC_PARAMS*>(&p));
         }},
        {"lock", [&] { auto p = old_word<NV_ENC_LOCK_BITSTREAM>(); return v5.nvEncLockBitstream(s, &p); }},
        {"reconfigure", [&] { auto p = old_word<NV_ENC_RECONFIGURE_PARAMS>(); return v5.nvEncReconfigureEncoder(s, &p); }},
    };
    for (const auto& call : calls)
        EXPECT_EQ(call.second(), NV_ENC_ERR_INVALID_VERSION) << call.first;
}

TEST_F(StandinClient, InjectedFailuresReachTheClient) {
    struct Case {
        const char* rule;
        NVENCSTATUS status;
        int frames_done;  // frames encoded before the failure; -1: the set-up fails
    };
    const std::vector<Case> cases = {
        {"NvEncodeAPICreateInstance=20", NV_ENC_ERR_GENERIC, -1},
        {"nvEncOpenEncodeSessionEx=2", NV_ENC_ERR_UNSUPPORTED_DEVICE, -1},
        {"nvEncGetEncodePresetConfig=8", NV_ENC_ERR_INVALID_PARAM, -1},
        {"nvEncInitializeEncoder=10", NV_ENC_ERR_OUT_OF_MEMORY, -1},
        {"nvEncRegisterResource=23", NV_ENC_ERR_RESOURCE_REGISTER_FAILED, -1},
        {"nvEncCreateBitstreamBuffer=10", NV_ENC_ERR_OUT_OF_MEMORY, -1},
        {"nvEncMapInputResource=16@2", NV_ENC_ERR_MAP_FAILED, 1},
        {"nvEncEncodePicture=18@3", NV_ENC_ERR_ENCODER_BUSY, 2},
        {"nvEncLockBitstream=13", NV_ENC_ERR_LOCK_BUSY, 0},
        {"nvEncUnlockBitstream=9@2", NV_ENC_ERR_INVALID_CALL, 1},
        {"nvEncUnmapInputResource=25@1", NV_ENC_ERR_RESOURCE_NOT_MAPPED, 0},
    };
    for (const Case& c : cases) {
        ScopedEnv fail("NVENC_EMU_FAIL", c.rule);
        int done = -1;
        NVENCSTATUS status = NV_ENC_SUCCESS;
        try {
            ClientEncoder encoder(*context_, *kernels_, EncoderOptions{});
            for (done = 0; done < 4; ++done)
                encoder.encode(desktop_bgrx(320, 192, done));
        } catch (const NvencError& e) {
            status = e.status;
        }
        EXPECT_EQ(status, c.status) << c.rule;
        EXPECT_EQ(done, c.frames_done) << c.rule;
    }
    // Without the rule everything works again.
    EXPECT_EQ(decode_h264(encode(EncoderOptions{}, 2).stream, false).frames.size(), 2u);
}

// A malformed item is said once, however many calls read the setting; the well-formed ones still act.
TEST_F(StandinClient, MalformedFailureItemsAreReportedOnce) {
    ScopedEnv fail("NVENC_EMU_FAIL", "nvEncEncodePicture=busy,nvEncLockBitstream=13@2");
    ::testing::internal::CaptureStderr();
    int done = 0;
    NVENCSTATUS status = NV_ENC_SUCCESS;
    try {
        ClientEncoder encoder(*context_, *kernels_, EncoderOptions{});
        for (; done < 4; ++done)
            encoder.encode(desktop_bgrx(320, 192, done));
    } catch (const NvencError& e) {
        status = e.status;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "nvenc stand-in: NVENC_EMU_FAIL: ignoring 'nvEncEncodePicture=busy': status must be an integer\n");
    EXPECT_EQ(status, NV_ENC_ERR_LOCK_BUSY);
    EXPECT_EQ(done, 1);
}

// What the stand-ins write on standard error while `use` runs with the variable set to `value`.
std::string reports_while(const char* variable, const std::string& value, const std::function<void()>& use) {
    ScopedEnv setting(variable, value);
    ::testing::internal::CaptureStderr();
    use();
    return ::testing::internal::GetCapturedStderr();
}

// An item of a list and what the stand-in says about it; a null item: nothing is said.
struct ListCase {
    const char* value;
    const char* item;
    const char* problem;
    std::string report(const char* variable) const {
        return item ? std::string("nvenc stand-in: ") + variable + ": ignoring '" + item + "': " + problem + "\n" : "";
    }
};

constexpr char kStraySpace[] = "stray space (items are separated by ',' alone)";

// Each value holds a rule that fails every lock; the item reported would have failed the first picture first.
TEST_F(StandinClient, FailureItemsNamingNoEntryPointAreReportedAndTheOthersAct) {
    const ListCase cases[] = {
        {"nvEncEncodePictur=8,nvEncLockBitstream=13", "nvEncEncodePictur=8", "unknown entry point"},
        {"nvencEncodePicture=8,nvEncLockBitstream=13", "nvencEncodePicture=8", "unknown entry point"},
        {" nvEncEncodePicture=8,nvEncLockBitstream=13", " nvEncEncodePicture=8", kStraySpace},
        {"nvEncLockBitstream=13, nvEncEncodePicture=8", " nvEncEncodePicture=8", kStraySpace},
        {"nvEncEncodePicture=8 ,nvEncLockBitstream=13", "nvEncEncodePicture=8 ", kStraySpace},
        {"nvEncEncodePicture= 8,nvEncLockBitstream=13", "nvEncEncodePicture= 8", kStraySpace},
        {"nvEncLockBitstream=13", nullptr, nullptr},
    };
    for (const ListCase& c : cases) {
        NVENCSTATUS status = NV_ENC_SUCCESS;
        int done = 0;
        const std::string said = reports_while("NVENC_EMU_FAIL", c.value, [&] {
            try {
                ClientEncoder encoder(*context_, *kernels_, EncoderOptions{});
                for (; done < 2; ++done)
                    encoder.encode(desktop_bgrx(320, 192, done));
            } catch (const NvencError& e) {
                status = e.status;
            }
        });
        EXPECT_EQ(said, c.report("NVENC_EMU_FAIL")) << c.value;
        EXPECT_EQ(status, NV_ENC_ERR_LOCK_BUSY) << c.value;
        EXPECT_EQ(done, 0) << c.value;
    }
}

// The slots the stand-in does not offer are steered each under its own name.
TEST_F(StandinClient, SlotsNotOfferedAreSteeredUnderTheirOwnNames) {
    const auto api = function_list(NVENC_API_V5);
    Session session(api, context_->handle(), NVENC_API_V5);
    ScopedEnv fail("NVENC_EMU_FAIL", "nvEncCreateInputBuffer=8");
    EXPECT_EQ(api.nvEncCreateInputBuffer(session.handle(), nullptr), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(api.nvEncLockInputBuffer(session.handle(), nullptr), NV_ENC_ERR_UNIMPLEMENTED);
    EXPECT_EQ(api.nvEncGetEncodeStats(session.handle(), nullptr), NV_ENC_ERR_UNIMPLEMENTED);
}

// Each value makes the input format count one too many; the item reported would have done so for the codecs.
TEST_F(StandinClient, OvercountItemsNamingNoCountQueryAreReportedAndTheOthersAct) {
    const ListCase cases[] = {
        {"nvEncGetEncodeGUIDCnt,nvEncGetInputFormatCount", "nvEncGetEncodeGUIDCnt", "unknown entry point"},
        {" nvEncGetEncodeGUIDCount,nvEncGetInputFormatCount", " nvEncGetEncodeGUIDCount", kStraySpace},
        {"nvEncGetInputFormatCount, nvEncGetEncodeGUIDCount", " nvEncGetEncodeGUIDCount", kStraySpace},
        {"nvEncGetEncodeGUIDCount ,nvEncGetInputFormatCount", "nvEncGetEncodeGUIDCount ", kStraySpace},
        {"nvEncGetEncodeGUIDs,nvEncGetInputFormatCount", "nvEncGetEncodeGUIDs", "not a count query"},
        {"nvEncGetEncodeGUIDCount@1,nvEncGetInputFormatCount", "nvEncGetEncodeGUIDCount@1", "takes no call number"},
        {"nvEncGetEncodeGUIDCount=1,nvEncGetInputFormatCount", "nvEncGetEncodeGUIDCount=1", "takes no '=' value"},
        {"nvEncGetInputFormatCount", nullptr, nullptr},
    };
    const auto api = function_list(NVENC_API_V5);
    for (const ListCase& c : cases) {
        uint32_t codecs = 0, formats = 0;
        const std::string said = reports_while("NVENC_EMU_OVERCOUNT", c.value, [&] {
            Session session(api, context_->handle(), NVENC_API_V5);
            EXPECT_EQ(api.nvEncGetEncodeGUIDCount(session.handle(), &codecs), NV_ENC_SUCCESS);
            EXPECT_EQ(api.nvEncGetInputFormatCount(session.handle(), NV_ENC_CODEC_H264_GUID, &formats), NV_ENC_SUCCESS);
        });
        EXPECT_EQ(said, c.report("NVENC_EMU_OVERCOUNT")) << c.value;
        EXPECT_EQ(codecs, 2u) << c.value;
        EXPECT_EQ(formats, 3u) << c.value;
    }
}

// Each value turns 4:4:4 off; the item reported would have turned lossless off.
TEST_F(StandinClient, MalformedCapabilityOverridesAreReportedAndTheOthersAct) {
    const ListCase cases[] = {
        {"33=0,34=off", "34=off", "value must be an integer"},
        {"33=0,34", "34", "missing '='"},
        {"33=0,=0", "=0", "missing capability"},
        {"33=0,lossless=0", "lossless=0", "unknown capability"},
        {"33=0,36=0", "36=0", "unknown capability"},
        {"33=0,-1=0", "-1=0", "unknown capability"},
        {"33=0,34=0@1", "34=0@1", "takes no call number"},
        {" 34=0,33=0", " 34=0", kStraySpace},
        {"33=0, 34=0", " 34=0", kStraySpace},
        {"34=0 ,33=0", "34=0 ", kStraySpace},
        {"33=0,34= 0", "34= 0", kStraySpace},
        {"33=0", nullptr, nullptr},
        {"0x21=0", nullptr, nullptr},
    };
    const auto api = function_list(NVENC_API_V5);
    const auto capability = [&](void* session, NV_ENC_CAPS cap) {
        NV_ENC_CAPS_PARAM query;
        nvenc_reset(query, NVENC_API_V5);
        query.capsToQuery = cap;
        int value = -1;
        EXPECT_EQ(api.nvEncGetEncodeCaps(session, NV_ENC_CODEC_H264_GUID, &query, &value), NV_ENC_SUCCESS);
        return value;
    };
    for (const ListCase& c : cases) {
        int yuv444 = -1, lossless = -1;
        const std::string said = reports_while("NVENC_EMU_CAPS", c.value, [&] {
            Session session(api, context_->handle(), NVENC_API_V5);
            yuv444 = capability(session.handle(), NV_ENC_CAPS_SUPPORT_YUV444_ENCODE);
            lossless = capability(session.handle(), NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE);
        });
        EXPECT_EQ(said, c.report("NVENC_EMU_CAPS")) << c.value;
        EXPECT_EQ(yuv444, 0) << c.value;
        EXPECT_EQ(lossless, 1) << c.value;
    }
}

TEST_F(StandinClient, DiscoveryAnswers) {
    const auto api = function_list(NVENC_API_V5);
    Session session(api, context_->handle(), NVENC_API_V5);
    void* s = session.handle();
    uint32_t count = 0;
    GUID guids[32];
    ASSERT_EQ(api.nvEncGetEncodeGUIDs(s, guids, 32, &count), NV_ENC_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_TRUE(nvenc_same_guid(guids[0], NV_ENC_CODEC_H264_GUID));
    EXPECT_TRUE(nvenc_same_guid(guids[1], NV_ENC_CODEC_HEVC_GUID));
    ASSERT_EQ(api.nvEncGetEncodePresetGUIDs(s, NV_ENC_CODEC_H264_GUID, guids, 32, &count), NV_ENC_SUCCESS);
    EXPECT_EQ(count, 10u);
    ASSERT_EQ(api.nvEncGetEncodeProfileGUIDs(s, NV_ENC_CODEC_H264_GUID, guids, 32, &count), NV_ENC_SUCCESS);
    EXPECT_EQ(count, 4u);
    NV_ENC_BUFFER_FORMAT formats[8];
    ASSERT_EQ(api.nvEncGetInputFormats(s, NV_ENC_CODEC_H264_GUID, formats, 8, &count), NV_ENC_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(formats[0], NV_ENC_BUFFER_FORMAT_NV12_PL);
    EXPECT_EQ(formats[1], NV_ENC_BUFFER_FORMAT_YUV444_PL);

    struct Cap {
        int cap;
        int value;
    };
    for (const Cap& c : {Cap{NV_ENC_CAPS_SUPPORT_YUV444_ENCODE, 1}, Cap{NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE, 1},
                         Cap{NV_ENC_CAPS_WIDTH_MAX, 4096}, Cap{NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT, 0},
                         Cap{NV_ENC_CAPS_NUM_MAX_BFRAMES, 0}}) {
        NV_ENC_CAPS_PARAM query;
        nvenc_reset(query, NVENC_API_V5);
        query.capsToQuery = static_cast<NV_ENC_CAPS>(c.cap);
        int value = -1;
        EXPECT_EQ(api.nvEncGetEncodeCaps(s, NV_ENC_CODEC_H264_GUID, &query, &value), NV_ENC_SUCCESS);
        EXPECT_EQ(value, c.value) << "capability " << c.cap;
    }
    for (int cap = 0; cap <= NV_ENC_CAPS_EXPOSED_COUNT; ++cap) {
        NV_ENC_CAPS_PARAM query;
        nvenc_reset(query, NVENC_API_V5);
        query.capsToQuery = static_cast<NV_ENC_CAPS>(cap);
        int value = -1;
        EXPECT_EQ(api.nvEncGetEncodeCaps(s, NV_ENC_CODEC_H264_GUID, &query, &value), NV_ENC_SUCCESS) << cap;
    }
    NV_ENC_PRESET_CONFIG preset;
    nvenc_reset(preset, NVENC_API_V5);
    preset.presetCfg.version = nvenc_struct_version<NV_ENC_CONFIG>(NVENC_API_V5);
    ASSERT_EQ(api.nvEncGetEncodePresetConfig(s, NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID, &preset),
              NV_ENC_SUCCESS);
    EXPECT_EQ(preset.presetCfg.version, nvenc_struct_version<NV_ENC_CONFIG>(NVENC_API_V5));
    EXPECT_EQ(preset.presetCfg.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
    EXPECT_EQ(preset.presetCfg.rcParams.constQP.qpInterP, 0u);
    EXPECT_EQ(preset.presetCfg.encodeCodecConfig.h264Config.qpPrimeYZeroTransformBypassFlag, 1u);
}

TEST_F(StandinClient, ControlVariablesChangeTheOffer) {
    ScopedEnv caps("NVENC_EMU_CAPS", "33=0");
    ScopedEnv extra("NVENC_EMU_EXTRA_PRESET", "1");
    const auto api = function_list(NVENC_API_V5);
    Session session(api, context_->handle(), NVENC_API_V5);
    void* s = session.handle();
    NV_ENC_CAPS_PARAM query;
    nvenc_reset(query, NVENC_API_V5);
    query.capsToQuery = NV_ENC_CAPS_SUPPORT_YUV444_ENCODE;
    int value = -1;
    ASSERT_EQ(api.nvEncGetEncodeCaps(s, NV_ENC_CODEC_H264_GUID, &query, &value), NV_ENC_SUCCESS);
    EXPECT_EQ(value, 0);
    uint32_t count = 0;
    NV_ENC_BUFFER_FORMAT formats[8];
    ASSERT_EQ(api.nvEncGetInputFormats(s, NV_ENC_CODEC_H264_GUID, formats, 8, &count), NV_ENC_SUCCESS);
    EXPECT_EQ(count, 1u) << "no YUV444 input without 4:4:4 support";
    GUID presets[32];
    ASSERT_EQ(api.nvEncGetEncodePresetGUIDs(s, NV_ENC_CODEC_H264_GUID, presets, 32, &count), NV_ENC_SUCCESS);
    EXPECT_EQ(count, 9u) << "eight lossy presets, no lossless ones, and the extra one";
    bool known_only = true;
    for (const GUID& known : {NV_ENC_PRESET_DEFAULT_GUID, NV_ENC_PRESET_HP_GUID, NV_ENC_PRESET_HQ_GUID,
                              NV_ENC_PRESET_BD_GUID, NV_ENC_PRESET_LOW_LATENCY_DEFAULT_GUID,
                              NV_ENC_PRESET_LOW_LATENCY_HQ_GUID, NV_ENC_PRESET_LOW_LATENCY_HP_GUID,
                              NVENC_PRESET_STREAMING_GUID})
        known_only = known_only && nvenc_same_guid(presets[count - 1], known);
    EXPECT_FALSE(known_only);
    EncoderOptions o;
    o.yuv444 = true;
    try {
        ClientEncoder encoder(*context_, *kernels_, o);
        ADD_FAILURE() << "a 4:4:4 encoder opened without 4:4:4 support";
    } catch (const NvencError& e) {
        EXPECT_EQ(e.status, NV_ENC_ERR_UNSUPPORTED_PARAM);
    }
}

TEST_F(StandinClient, StrictStatusesForMisuse) {
    const auto api = function_list(NVENC_API_V5);
    EXPECT_EQ(create_instance_entry()(nullptr), NV_ENC_ERR_INVALID_PTR);
    int unknown_object = 0;
    void* unknown = &unknown_object;
    uint32_t count = 0;
    EXPECT_EQ(api.nvEncGetEncodeGUIDCount(nullptr, &count), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(api.nvEncGetEncodeGUIDCount(unknown, &count), NV_ENC_ERR_INVALID_ENCODERDEVICE);
    EXPECT_EQ(api.nvEncDestroyEncoder(unknown), NV_ENC_ERR_INVALID_ENCODERDEVICE);
    EXPECT_EQ(api.nvEncOpenEncodeSessionEx(nullptr, &unknown), NV_ENC_ERR_INVALID_PTR);
    void* handle = nullptr;
    EXPECT_EQ(Session::open(api, nullptr, NVENC_API_V5, &handle), NV_ENC_ERR_INVALID_DEVICE);
    EXPECT_EQ(Session::open(api, unknown, NVENC_API_V5, &handle), NV_ENC_ERR_INVALID_DEVICE);

    Session session(api, context_->handle(), NVENC_API_V5);
    void* s = session.handle();
    EXPECT_EQ(api.nvEncGetEncodeGUIDCount(s, nullptr), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(api.nvEncGetEncodePresetCount(s, GUID{}, &count), NV_ENC_ERR_INVALID_PARAM) << "unknown codec";
    NV_ENC_REGISTER_RESOURCE reg;
    nvenc_reset(reg, NVENC_API_V5);
    EXPECT_EQ(api.nvEncRegisterResource(s, &reg), NV_ENC_ERR_ENCODER_NOT_INITIALIZED) << "before initialisation";
    EXPECT_EQ(api.nvEncInitializeEncoder(s, nullptr), NV_ENC_ERR_INVALID_PTR);
    struct Init {
        const char* name;
        GUID codec, preset;
        uint32_t width;
        NVENCSTATUS status;
    };
    for (const Init& c : {Init{"HEVC is offered for discovery only", NV_ENC_CODEC_HEVC_GUID, NV_ENC_PRESET_DEFAULT_GUID, 64,
                               NV_ENC_ERR_UNIMPLEMENTED},
                          Init{"unknown codec", GUID{}, NV_ENC_PRESET_DEFAULT_GUID, 64, NV_ENC_ERR_INVALID_PARAM},
                          Init{"unknown preset", NV_ENC_CODEC_H264_GUID, GUID{}, 64, NV_ENC_ERR_INVALID_PARAM},
                          Init{"odd width", NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_DEFAULT_GUID, 63, NV_ENC_ERR_INVALID_PARAM}}) {
        NV_ENC_INITIALIZE_PARAMS init;
        nvenc_reset(init, NVENC_API_V5);
        init.encodeGUID = c.codec;
        init.presetGUID = c.preset;
        init.encodeWidth = c.width;
        init.encodeHeight = 64;
        EXPECT_EQ(api.nvEncInitializeEncoder(s, &init), c.status) << c.name;
    }
    EXPECT_EQ(api.nvEncUnregisterResource(s, unknown), NV_ENC_ERR_RESOURCE_NOT_REGISTERED);
    EXPECT_EQ(api.nvEncUnmapInputResource(s, unknown), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    EXPECT_EQ(api.nvEncDestroyBitstreamBuffer(s, unknown), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(api.nvEncUnlockBitstream(s, unknown), NV_ENC_ERR_INVALID_PARAM);

    // Out of order on a working encoder.
    ClientEncoder encoder(*context_, *kernels_, EncoderOptions{});
    const auto& e = encoder.api();
    void* es = encoder.session();
    NV_ENC_INITIALIZE_PARAMS again;
    nvenc_reset(again, NVENC_API_V5);
    again.encodeGUID = NV_ENC_CODEC_H264_GUID;
    again.presetGUID = NV_ENC_PRESET_DEFAULT_GUID;
    again.encodeWidth = again.encodeHeight = 64;
    EXPECT_EQ(e.nvEncInitializeEncoder(es, &again), NV_ENC_ERR_INVALID_CALL) << "initialised twice";
    NV_ENC_CREATE_BITSTREAM_BUFFER out;
    nvenc_reset(out, NVENC_API_V5);
    out.size = 4096;
    ASSERT_EQ(e.nvEncCreateBitstreamBuffer(es, &out), NV_ENC_SUCCESS);
    NV_ENC_LOCK_BITSTREAM lock;
    nvenc_reset(lock, NVENC_API_V5);
    lock.outputBitstream = out.bitstreamBuffer;
    EXPECT_EQ(e.nvEncLockBitstream(es, &lock), NV_ENC_ERR_INVALID_CALL) << "nothing encoded into it";
    EXPECT_EQ(e.nvEncUnlockBitstream(es, out.bitstreamBuffer), NV_ENC_ERR_INVALID_CALL) << "not locked";
    EXPECT_EQ(e.nvEncDestroyBitstreamBuffer(es, out.bitstreamBuffer), NV_ENC_SUCCESS);
    EXPECT_EQ(e.nvEncDestroyBitstreamBuffer(es, out.bitstreamBuffer), NV_ENC_ERR_INVALID_PARAM) << "twice";
    NV_ENC_PIC_PARAMS_V5 pic;
    nvenc_reset(pic, NVENC_API_V5);
    pic.inputBuffer = unknown;
    EXPECT_EQ(e.nvEncEncodePicture(es, &pic), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    EXPECT_EQ(e.nvEncEncodePicture(es, nullptr), NV_ENC_ERR_INVALID_PTR);

    encoder.encode(desktop_bgrx(320, 192, 0));
    NV_ENC_PIC_PARAMS_V5 eos;
    nvenc_reset(eos, NVENC_API_V5);
    eos.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
    EXPECT_EQ(e.nvEncEncodePicture(es, &eos), NV_ENC_SUCCESS);
    try {
        encoder.encode(desktop_bgrx(320, 192, 1));
        ADD_FAILURE() << "a picture after the end of the stream";
    } catch (const NvencError& error) {
        EXPECT_EQ(error.status, NV_ENC_ERR_INVALID_CALL);
    }
}

TEST_F(StandinClient, ParameterSetsCanBeSwitchedOff) {
    EncoderOptions o;
    o.configure = [](NV_ENC_CONFIG& c) { c.encodeCodecConfig.h264Config.disableSPSPPS = 1; };
    const EncodedRun run = encode(o, 2);
    EXPECT_EQ(nal_types(run.pictures[0]), (std::vector<int>{5})) << "even with the picture's flag";
}

TEST_F(StandinClient, PictureLargerThanTheBitstreamBuffer) {
    EncoderOptions o;
    o.bitstream_size = 64;
    ClientEncoder encoder(*context_, *kernels_, o);
    try {
        encoder.encode(desktop_bgrx(o.width, o.height, 0));
        ADD_FAILURE() << "an IDR picture fitted in 64 bytes";
    } catch (const NvencError& e) {
        EXPECT_EQ(e.status, NV_ENC_ERR_NOT_ENOUGH_BUFFER);
    }
}

TEST_F(StandinClient, ReconfigurationStartsANewStreamWithTheNewSettings) {
    ClientEncoder encoder(*context_, *kernels_, EncoderOptions{});
    std::vector<uint8_t> stream;
    for (int i = 0; i < 3; ++i) {
        const auto p = encoder.encode(desktop_bgrx(320, 192, i));
        stream.insert(stream.end(), p.begin(), p.end());
    }
    const YuvPicture before = encoder.converted();
    NV_ENC_PRESET_CONFIG preset;
    nvenc_reset(preset, NVENC_API_V5);
    preset.presetCfg.version = nvenc_struct_version<NV_ENC_CONFIG>(NVENC_API_V5);
    ASSERT_EQ(encoder.api().nvEncGetEncodePresetConfig(encoder.session(), NV_ENC_CODEC_H264_GUID,
                                                       NV_ENC_PRESET_HP_GUID, &preset),
              NV_ENC_SUCCESS);
    preset.presetCfg.rcParams.constQP = {45, 45, 45};
    NV_ENC_RECONFIGURE_PARAMS r;
    nvenc_reset(r, NVENC_API_V5);
    nvenc_reset(r.reInitEncodeParams, NVENC_API_V5);
    r.reInitEncodeParams.encodeGUID = NV_ENC_CODEC_H264_GUID;
    r.reInitEncodeParams.presetGUID = NV_ENC_PRESET_HP_GUID;
    r.reInitEncodeParams.encodeWidth = 320;
    r.reInitEncodeParams.encodeHeight = 192;
    r.reInitEncodeParams.encodeConfig = &preset.presetCfg;
    r.resetEncoder = r.forceIDR = 1;
    ASSERT_EQ(encoder.api().nvEncReconfigureEncoder(encoder.session(), &r), NV_ENC_SUCCESS);
    const auto coarse = encoder.encode(desktop_bgrx(320, 192, 3));
    EXPECT_EQ(nal_types(coarse), (std::vector<int>{7, 8, 5}));
    stream.insert(stream.end(), coarse.begin(), coarse.end());
    const DecodedStream decoded = decode_h264(stream, false);
    ASSERT_EQ(decoded.frames.size(), 4u);
    EXPECT_LT(psnr(decoded.frames[3], encoder.converted()) + 5, psnr(decoded.frames[2], before))
        << "the coarse quantiser of the new configuration";
}

TEST_F(StandinClient, EncodersOnTwoThreadsAtOnce) {
    std::vector<uint8_t> streams[2];
    std::string errors[2];
    auto run = [&](int index) {
        try {
            CudaContext context;
            CurrentContext current(context);
            ConversionKernels kernels(kernels_ptx_path());
            EncoderOptions o;
            o.yuv444 = index == 1;
            ClientEncoder encoder(context, kernels, o);
            for (int i = 0; i < 4; ++i) {
                const auto p = encoder.encode(desktop_bgrx(o.width, o.height, i + index));
                streams[index].insert(streams[index].end(), p.begin(), p.end());
            }
        } catch (const std::exception& e) {
            errors[index] = e.what();
        }
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(errors[i], "");
        EXPECT_EQ(decode_h264(streams[i], i == 1).frames.size(), 4u) << "thread " << i;
    }
}

// Sanitizer builds: libx265 3.5 keeps copies of the parameters (and strings of them) that
// x265_encoder_open makes and x265_encoder_close does not release, however its client cleans up; the leak
// check leaves them out, in this program and in the children it runs.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace {

// Runs tests of this program in a child process (with the environment set by the caller).
int run_in_child(const std::string& filter, std::string& output) {
    return run_command("/proc/" + std::to_string(getpid()) + "/exe --gtest_filter='" + filter + "' 2>&1", &output);
}

}  // namespace

// The session limit counts the sessions of each device; the body runs in a child with two devices.
TEST_F(StandinClient, SessionLimitCountsEachDeviceApart) {
    const char* devices = std::getenv("CUDA_EMU_DEVICES");
    if (!devices || std::string(devices) != "2") {
        ScopedEnv two("CUDA_EMU_DEVICES", "2");
        ScopedEnv one("NVENC_EMU_MAX_SESSIONS", "1");
        std::string output;
        EXPECT_EQ(run_in_child("StandinClient.SessionLimitCountsEachDeviceApart", output), 0) << output;
        EXPECT_NE(output.find("[       OK ] StandinClient.SessionLimitCountsEachDeviceApart"), std::string::npos)
            << output;
        return;
    }
    const auto api = function_list(NVENC_API_V5);
    CudaContext second_device(1);
    Session first(api, context_->handle(), NVENC_API_V5);
    void* handle = nullptr;
    EXPECT_EQ(Session::open(api, context_->handle(), NVENC_API_V5, &handle), NV_ENC_ERR_UNSUPPORTED_DEVICE);
    Session other(api, second_device.handle(), NVENC_API_V5);
    EXPECT_EQ(api.nvEncDestroyEncoder(handle), NV_ENC_SUCCESS);
}

// The pipeline and session-limit tests again in a child process with the stand-ins' leak reports: nothing
// is left in the CUDA driver, no session and no refused open in the NVENC library.
TEST_F(StandinClient, NothingLeftInTheCudaDriver) {
    ScopedEnv report("CUDA_EMU_REPORT", "1");
    ScopedEnv sessions("NVENC_EMU_REPORT", "1");
    std::string output;
    const int status = run_in_child(
        "StandinClient.DesktopSequence*:StandinClient.Lossless*:StandinClient.Injected*:StandinClient.SessionLimit*:"
        "Streams/StandinApi12Codecs.Injected*",
        output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("CUDA_EMU_REPORT: leaks=0 "), std::string::npos) << output;
    EXPECT_NE(output.find("NVENC_EMU_REPORT: leaks=0 sessions=0 refused_opens=0"), std::string::npos) << output;
    EXPECT_EQ(output.find("_EMU_LEAK"), std::string::npos) << output;
}

namespace {

// One part of a stream between reconfigurations: its chroma format, and lossless or not.
struct Segment {
    bool yuv444;
    bool lossless;
    int frames;
    bool cavlc = false;
};

// The options a client reconfigures with: lossless is the lossless preset with a constant quantiser
// of 0 and the transform bypass.
EncoderOptions segment_options(uint32_t api, const Segment& segment) {
    EncoderOptions o;
    o.api = api;
    o.yuv444 = segment.yuv444;
    const bool lossless = segment.lossless, cavlc = segment.cavlc;
    if (lossless)
        o.preset = NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID;
    o.configure = [lossless, cavlc](NV_ENC_CONFIG& c) {
        NV_ENC_CONFIG_H264& h = c.encodeCodecConfig.h264Config;
        if (cavlc)
            h.entropyCodingMode = NV_ENC_H264_ENTROPY_CODING_MODE_CAVLC;
        if (!lossless)
            return;
        c.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
        c.rcParams.constQP = {0, 0, 0};
        h.qpPrimeYZeroTransformBypassFlag = 1;
    };
    return o;
}

std::string segment_name(const Segment& s) {
    return std::string(s.yuv444 ? "4:4:4" : "4:2:0") + (s.lossless ? " lossless" : "") + (s.cavlc ? " cavlc" : "");
}

bool all_adjacent_differ(const std::vector<long>& values) {
    for (size_t i = 1; i < values.size(); ++i)
        if (values[i] == values[i - 1])
            return false;
    return true;
}

}  // namespace

class StandinReconfiguration : public StandinClient {
protected:
    // One session through all segments, reconfigured between them; `idr_every` forces IDR pictures.
    EncodedRun encode_segments(uint32_t api, const std::vector<Segment>& segments, bool idr_every = false) {
        EncodedRun run;
        std::unique_ptr<ClientEncoder> encoder;
        int frame = 0;
        for (const Segment& segment : segments) {
            const EncoderOptions o = segment_options(api, segment);
            if (encoder)
                encoder->reconfigure(o);
            else
                encoder = std::make_unique<ClientEncoder>(*context_, *kernels_, o);
            for (int i = 0; i < segment.frames; ++i, ++frame) {
                run.pictures.push_back(encoder->encode(desktop_bgrx(o.width, o.height, frame), idr_every && i > 0));
                run.stream.insert(run.stream.end(), run.pictures.back().begin(), run.pictures.back().end());
                run.converted.push_back(encoder->converted());
            }
        }
        return run;
    }

    // Decodes the run as one stream (once into each chroma format) and checks every picture against
    // what the kernel wrote for it: exact when lossless, 38 dB at least otherwise.
    void expect_decodes_right(const EncodedRun& run, const std::vector<Segment>& segments, uint32_t api) {
        const DecodedStream as420 = decode_h264(run.stream, false), as444 = decode_h264(run.stream, true);
        ASSERT_EQ(as420.error, "");
        ASSERT_EQ(as444.error, "");
        ASSERT_EQ(as420.frames.size(), run.converted.size());
        ASSERT_EQ(as444.frames.size(), run.converted.size());
        size_t frame = 0;
        for (const Segment& segment : segments)
            for (int i = 0; i < segment.frames; ++i, ++frame) {
                const YuvPicture& decoded = segment.yuv444 ? as444.frames[frame] : as420.frames[frame];
                if (segment.lossless)
                    EXPECT_TRUE(identical(decoded, run.converted[frame]))
                        << segment_name(segment) << " frame " << frame << " api " << std::hex << api << std::dec
                        << ": " << psnr(decoded, run.converted[frame]) << " dB";
                else
                    EXPECT_GE(psnr(decoded, run.converted[frame]), 38.0)
                        << segment_name(segment) << " frame " << frame << " api " << std::hex << api;
            }
    }
};

TEST_F(StandinReconfiguration, FormatAndLosslessSwitchesDecodeAsOneStream) {
    const std::vector<Segment> segments = {
        {false, false, 4}, {true, false, 4}, {true, true, 4}, {false, false, 4}, {true, true, 4}};
    for (uint32_t api : {NVENC_API_V5, NVENC_API_V4}) {
        const EncodedRun run = encode_segments(api, segments);
        size_t picture = 0;
        for (const Segment& segment : segments) {
            EXPECT_EQ(nal_types(run.pictures[picture]), (std::vector<int>{7, 8, 5})) << segment_name(segment);
            picture += size_t(segment.frames);
        }
        expect_decodes_right(run, segments, api);
        const std::vector<long> ids = header_values(run.stream, "idr_pic_id");
        EXPECT_EQ(ids.size(), segments.size()) << "one IDR picture a segment";
        EXPECT_TRUE(all_adjacent_differ(ids)) << testing::PrintToString(ids);
    }
}

// IDR pictures right after each other: forced ones within a configuration, and the first pictures of
// configurations one picture long (libx264 starts every new encoder at the same idr_pic_id).
TEST_F(StandinReconfiguration, ConsecutiveIdrPicturesCarryDifferentIds) {
    struct Case {
        const char* name;
        std::vector<Segment> segments;
        bool idr_every;
    };
    const std::vector<Case> cases = {
        {"forced IDR pictures", {{false, false, 4}}, true},
        {"forced IDR pictures, lossless", {{true, true, 3}}, true},
        {"one picture a configuration",
         {{true, true, 1}, {true, true, 1, true}, {true, false, 1}, {true, true, 1}, {false, false, 1, true},
          {false, false, 2}},
         false},
        {"reconfigured after forced IDR pictures", {{true, true, 2}, {true, true, 2, true}, {false, false, 2}}, true},
    };
    for (uint32_t api : {NVENC_API_V5, NVENC_API_V4})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const EncodedRun run = encode_segments(api, c.segments, c.idr_every);
            const std::vector<long> ids = header_values(run.stream, "idr_pic_id");
            size_t idr_pictures = 0;
            for (const auto& picture : run.pictures)
                idr_pictures += nal_types(picture).back() == 5 ? 1 : 0;
            EXPECT_EQ(ids.size(), idr_pictures);
            EXPECT_TRUE(all_adjacent_differ(ids)) << testing::PrintToString(ids) << " api " << std::hex << api;
            expect_decodes_right(run, c.segments, api);
        }
}
