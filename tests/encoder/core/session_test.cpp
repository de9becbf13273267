// The encoder core without an interpreter, against the CUDA and NVENC stand-ins: set-up at several sizes
// and formats, streams that decode to their source, the 4:2:0 / 4:4:4 / lossless switches, and a
// failure injected at each step of set-up, switch, frame and teardown. After each failure the core is
// fully old, fully new or cleanly closed, and once cleaned nothing is left: no session counted, no
// context current, and (checked by the stand-in's leak report at exit) nothing allocated.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_traits.h"
#include "encoder_core.h"
#include "picture_tools.h"
#include "test_host.h"

namespace tevu::nvenc::testing {
namespace {

using nvenc_test::decode_h264;
using nvenc_test::DecodedStream;
using nvenc_test::YuvPicture;

// Sets an environment variable (a stand-in's steering list) for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (!value.empty()) setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
};

// The kernel's own conversion of a picture, run on the CUDA stand-in: what the stream must decode to.
YuvPicture converted(const std::vector<uint8_t>& bgrx, long long stride, int width, int height, bool yuv444) {
    const cuda::DriverPtr& driver = cuda_driver();
    cuda::Context context = cuda::Device::get(driver, 0).make_context();
    TestHost host;
    const HostKernel kernel = host.kernel(0, yuv444 ? "BGRA_to_YUV444" : "BGRA_to_NV12");
    const int out_rows = yuv444 ? height * 3 : height * 3 / 2;
    cuda::PitchedAllocation in = cuda::mem_alloc_pitch(driver, static_cast<std::size_t>(width) * 4, height, 16);
    cuda::PitchedAllocation out = cuda::mem_alloc_pitch(driver, width, out_rows, 16);
    std::vector<uint8_t> staged(in.pitch * height);
    for (int y = 0; y < height; ++y)
        std::copy_n(&bgrx[static_cast<std::size_t>(y * stride)], width * 4, &staged[y * in.pitch]);
    cuda::memcpy_htod(*driver, in.allocation.address(), staged.data(), staged.size());
    cuda::KernelArguments args;
    args.pointer(in.allocation.address()).int32(width).int32(height).int32(static_cast<int32_t>(in.pitch));
    args.pointer(out.allocation.address()).int32(width).int32(height).int32(static_cast<int32_t>(out.pitch));
    args.int32(width).int32(height);
    const unsigned d = yuv444 ? 1 : 2;
    cuda::Function(driver, kernel.function)
        .launch({(width / d + 15) / 16, (height / d + 15) / 16, 1}, {16, 16, 1}, args);
    std::vector<uint8_t> result(out.pitch * out_rows);
    cuda::memcpy_dtoh(*driver, result.data(), out.allocation.address(), result.size());
    out.allocation.free();
    in.allocation.free();
    context.pop();
    context.detach();
    return nvenc_test::from_pitched(result.data(), static_cast<int>(out.pitch), width, height, yuv444);
}

struct Stream {
    int width = 320, height = 240;
    std::vector<std::string> formats{"YUV420P", "YUV444P"};
    int quality = 50, speed = 50;
    int scale_num = 1, scale_den = 1;
};

StreamRequest request(const Stream& s) {
    StreamRequest r;
    r.width = static_cast<uint32_t>(s.width);
    r.height = static_cast<uint32_t>(s.height);
    r.src_format = "BGRX";
    r.dst_formats = std::make_shared<Formats>(s.formats);
    r.encoding = std::make_shared<Named>("h264");
    r.encoding_name = "h264";
    r.scaling = std::make_shared<Named>("(1, 1)");
    r.scale_num = s.scale_num;
    r.scale_den = s.scale_den;
    r.quality = s.quality;
    r.speed = s.speed;
    return r;
}

class CoreTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (core) {
            ASSERT_NO_THROW(core->clean());
            expect_released();
        }
    }
    void set_up(const Stream& s = Stream{}) {
        stream = s;
        core = std::make_unique<EncoderCore>(host);
        core->init_context(request(s));
        frame = std::make_unique<TestFrame>(s.width, s.height);
    }
    // One picture through the core, at the stream's quality and speed.
    void encode(int index, int quality = -1) {
        frame->picture(index);
        frame->keep(core->compress(quality < 0 ? stream.quality : quality, stream.speed, *frame, 0));
    }
    void expect_released() const {
        EXPECT_TRUE(core->closed());
        EXPECT_FALSE(core->set_up());
        EXPECT_EQ(host.sessions, 0);
        EXPECT_EQ(cuda::Context::current(*cuda_driver()), nullptr);
    }
    // The stream so far decodes to as many pictures as were encoded, each close to its source.
    void expect_decodes(int pictures, bool yuv444 = false, double min_psnr = 30) const {
        const DecodedStream decoded = decode_h264(frame->stream, yuv444);
        ASSERT_EQ(decoded.error, "");
        ASSERT_EQ(decoded.frames.size(), static_cast<std::size_t>(pictures));
        const YuvPicture last = converted(frame->pixels, frame->stride_, stream.width & ~1, stream.height & ~1, yuv444);
        YuvPicture shown = decoded.frames.back();
        EXPECT_GE(nvenc_test::psnr(crop(shown, last.width, last.height), last), min_psnr);
    }
    static YuvPicture crop(const YuvPicture& p, int width, int height) {
        if (p.width == width && p.height == height) return p;
        YuvPicture out;
        out.width = width, out.height = height, out.yuv444 = p.yuv444;
        auto plane = [](const std::vector<uint8_t>& in, int in_w, int w, int h) {
            std::vector<uint8_t> r;
            for (int y = 0; y < h; ++y) r.insert(r.end(), &in[y * in_w], &in[y * in_w] + w);
            return r;
        };
        out.y = plane(p.y, p.width, width, height);
        out.u = plane(p.u, p.chroma_width(), out.chroma_width(), out.chroma_height());
        out.v = plane(p.v, p.chroma_width(), out.chroma_width(), out.chroma_height());
        return out;
    }

    TestHost host;
    Stream stream;
    std::unique_ptr<EncoderCore> core;
    std::unique_ptr<TestFrame> frame;
};

// --- set-up at several sizes and formats -------------------------------------------------------------
struct SetupCase {
    const char* name;
    Stream stream;
    const char* pixel_format;
    bool lossless;
    uint32_t encoder_width, encoder_height;
};

class SetupTest : public CoreTest, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(SetupTest, SetsUpEncodesAndDecodes) {
    const SetupCase& c = GetParam();
    set_up(c.stream);
    const StreamConfig& config = core->config();
    EXPECT_EQ(config.pixel_format, c.pixel_format);
    EXPECT_EQ(config.lossless, c.lossless);
    EXPECT_EQ(config.encoder_width(), c.encoder_width);
    EXPECT_EQ(config.encoder_height(), c.encoder_height);
    EXPECT_FALSE(core->closed());
    EXPECT_FALSE(core->preset_name().empty());
    EXPECT_EQ(host.sessions, 1);
    EXPECT_EQ(host.device_records, std::vector<std::string>{"success 0"});
    for (int i = 0; i < 3; ++i) encode(i);
    EXPECT_EQ(core->frames(), 3u);
    ASSERT_EQ(frame->results.size(), 3u);
    EXPECT_EQ(frame->results[2].frame, 2u);
    EXPECT_EQ(frame->results[2].pts, 66u);
    EXPECT_EQ(frame->results[0].lossless, c.lossless);
    EXPECT_EQ(frame->released, frame->reads * 2);  // released once staged, and again on the way out
    if (c.stream.scale_num == c.stream.scale_den) {
        const bool yuv444 = std::string(c.pixel_format) == "YUV444P";
        if (c.lossless) {
            const DecodedStream decoded = decode_h264(frame->stream, true);
            ASSERT_EQ(decoded.frames.size(), 3u);
            const YuvPicture source = converted(frame->pixels, frame->stride_, c.stream.width, c.stream.height, true);
            EXPECT_TRUE(nvenc_test::identical(crop(decoded.frames.back(), source.width, source.height), source));
        } else {
            expect_decodes(3, yuv444);
        }
    } else {
        const DecodedStream decoded = decode_h264(frame->stream, false);
        ASSERT_EQ(decoded.frames.size(), 3u);
        EXPECT_EQ(decoded.width, static_cast<int>(c.encoder_width));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, SetupTest,
    ::testing::Values(SetupCase{"nv12", {320, 240, {"YUV420P"}, 50, 50}, "NV12", false, 320, 256},
                      SetupCase{"yuv444", {320, 240, {"YUV420P", "YUV444P"}, 90, 50}, "YUV444P", false, 320, 256},
                      SetupCase{"lossless", {256, 128, {"YUV420P", "YUV444P"}, 100, 50}, "YUV444P", true, 256, 128},
                      SetupCase{"odd_size", {321, 243, {"YUV420P"}, 40, 80}, "NV12", false, 352, 256},
                      SetupCase{"only_444", {200, 100, {"YUV444P"}, 10, 50}, "YUV444P", false, 224, 128},
                      SetupCase{"scaled", {640, 480, {"YUV420P", "YUV444P"}, 90, 20, 1, 2}, "NV12", false, 320, 256},
                      SetupCase{"large", {1920, 1080, {"YUV420P"}, 60, 100}, "NV12", false, 1920, 1088}),
    [](const ::testing::TestParamInfo<SetupCase>& info) { return std::string(info.param.name); });

TEST_F(CoreTest, RefusesASecondSetUpAndAStreamWithoutFormats) {
    set_up();
    EXPECT_THROW(core->init_context(request(stream)), EncoderError);
    EXPECT_EQ(host.sessions, 1);
    core->clean();
    Stream none;
    none.formats = {"RGB"};
    try {
        core->init_context(request(none));
        FAIL() << "set up without a format";
    } catch (const EncoderError& e) {
        EXPECT_STREQ(e.what(), "no compatible formats found!");
    }
    EXPECT_EQ(host.sessions, 0);
}

TEST_F(CoreTest, NoDeviceIsAFailedSetUp) {
    host.no_device = true;
    core = std::make_unique<EncoderCore>(host);
    try {
        core->init_context(request(stream));
        FAIL() << "set up without a device";
    } catch (const EncoderError& e) {
        EXPECT_EQ(e.kind(), EncoderError::Kind::Check);
        EXPECT_STREQ(e.what(), "no NVENC device found!");
    }
    EXPECT_EQ(host.device_records, std::vector<std::string>{"failure -1"});
}

// --- the switches ------------------------------------------------------------------------------------
TEST_F(CoreTest, QualitySwitchesFormatsAndTheStreamDecodesAsOne) {
    set_up();
    encode(0);
    encode(1);
    EXPECT_EQ(core->config().pixel_format, "NV12");
    encode(2, 98);  // 4:4:4, lossy (a change of more than 10 aims 10 below the new quality)
    EXPECT_EQ(core->config().pixel_format, "YUV444P");
    EXPECT_FALSE(core->config().lossless);
    encode(3, 100);  // lossless: same buffer format, new parameters
    EXPECT_TRUE(core->config().lossless);
    EXPECT_TRUE(frame->results.back().lossless);
    EXPECT_EQ(frame->results.back().quality, 100);
    encode(4, 30);  // back to 4:2:0
    EXPECT_EQ(core->config().pixel_format, "NV12");
    EXPECT_EQ(host.sessions, 1);
    expect_decodes(5);
}

TEST_F(CoreTest, SpeedMovesTheBitrate) {
    set_up();
    const uint32_t slow = core->target_bitrate();
    core->set_encoding_speed(100);
    EXPECT_GT(core->target_bitrate(), slow);
}

// --- failures at each step ---------------------------------------------------------------------------
// The entry point that gives preset configurations: with a tuning where the API has tunings.
const char* const kPresetConfigRule =
    api::kTunedPresets ? "nvEncGetEncodePresetConfigEx=8" : "nvEncGetEncodePresetConfig=8";

struct Injection {
    const char* name;
    const char* variable;  // NVENC_EMU_FAIL or CUDA_EMU_FAIL; null: the host's call
    const char* rule;      // the steering list, or the host call that fails
    int host_after = 0;
};

std::string label(const ::testing::TestParamInfo<Injection>& info) { return info.param.name; }

// Arms the injection for the lifetime of the object.
class Armed {
public:
    Armed(TestHost& host, const Injection& i) : host_(host) {
        if (i.variable)
            env_ = std::make_unique<ScopedEnv>(i.variable, i.rule);
        else
            host.fail_call = i.rule, host.fail_after = i.host_after;
    }
    ~Armed() { host_.fail_call.clear(); }
    Armed(const Armed&) = delete;
    Armed& operator=(const Armed&) = delete;

private:
    TestHost& host_;
    std::unique_ptr<ScopedEnv> env_;
};

bool is_core_failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const EncoderError&) {
        return true;
    } catch (const cuda::Error&) {
        return true;
    } catch (const HostFailure&) {
        return true;
    }
    return false;
}

class SetupFailureTest : public CoreTest, public ::testing::WithParamInterface<Injection> {};

// A failed set-up is recorded against the device; clean() releases what it made, and the same core
// then sets up and encodes.
TEST_P(SetupFailureTest, CleanReleasesAndTheCoreSetsUpAgain) {
    core = std::make_unique<EncoderCore>(host);
    {
        Armed armed(host, GetParam());
        EXPECT_TRUE(is_core_failure([&] { core->init_context(request(stream)); }));
    }
    if (std::string(GetParam().rule) != "select_device") {
        EXPECT_EQ(host.device_records, std::vector<std::string>{"failure 0"});
    }
    core->clean();
    expect_released();
    set_up();
    encode(0);
    encode(1);
    expect_decodes(2);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SetupFailureTest,
    ::testing::Values(Injection{"select_device", nullptr, "select_device"},
                      Injection{"device_handle", nullptr, "device_handle"},
                      Injection{"context", "CUDA_EMU_FAIL", "cuCtxCreate=2"},
                      Injection{"cuda_info", nullptr, "cuda_info"},
                      Injection{"kernel", nullptr, "kernel"},
                      Injection{"input_buffer", "CUDA_EMU_FAIL", "cuMemAllocPitch=2@1"},
                      Injection{"output_buffer", "CUDA_EMU_FAIL", "cuMemAllocPitch=2@2"},
                      Injection{"staging_buffer", "CUDA_EMU_FAIL", "cuMemHostAlloc=2"},
                      Injection{"current_context", nullptr, "current_context"},
                      Injection{"function_list", "NVENC_EMU_FAIL", "NvEncodeAPICreateInstance=15"},
                      Injection{"open_unsupported", "NVENC_EMU_FAIL", "nvEncOpenEncodeSessionEx=10"},
                      Injection{"open", "NVENC_EMU_FAIL", "nvEncOpenEncodeSessionEx=8"},
                      Injection{"session_counted", nullptr, "session_opened"},
                      Injection{"codecs", "NVENC_EMU_FAIL", "nvEncGetEncodeGUIDs=8"},
                      Injection{"presets", "NVENC_EMU_FAIL", "nvEncGetEncodePresetGUIDs=8"},
                      Injection{"input_formats", "NVENC_EMU_FAIL", "nvEncGetInputFormats=8"},
                      Injection{"preset_config", "NVENC_EMU_FAIL", kPresetConfigRule},
                      Injection{"initialize", "NVENC_EMU_FAIL", "nvEncInitializeEncoder=8"},
                      Injection{"register", "NVENC_EMU_FAIL", "nvEncRegisterResource=8"},
                      Injection{"bitstream", "NVENC_EMU_FAIL", "nvEncCreateBitstreamBuffer=8"},
                      Injection{"record_success", nullptr, "record_device_success"},
                      Injection{"log_line", nullptr, "log", 12}),
    label);

// No context or session to be had now is a transient failure, noted for the host's back-off. A session
// limit is told with any of three statuses; the handle the driver gives with the refusal is destroyed, so
// that once the other session ends, its place is free for the next set-up.
TEST_F(CoreTest, ShortagesAreTransientAndNoted) {
    struct Shortage {
        const char* variable;
        const char* rule;
        const char* status;  // what the session limit answers; null: no session is open
        const char* message;
    };
    const Shortage cases[] = {
        {"CUDA_EMU_FAIL", "cuCtxCreate=2", nullptr, "could not initialize cuda: "},
        {"NVENC_EMU_MAX_SESSIONS", "1", "2", "NV_ENC_ERR_UNSUPPORTED_DEVICE: could not open encode session"},
        {"NVENC_EMU_MAX_SESSIONS", "1", "10", "NV_ENC_ERR_OUT_OF_MEMORY: could not open encode session"},
        {"NVENC_EMU_MAX_SESSIONS", "1", "21", "NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY: could not open encode session"},
    };
    int noted = 0;
    for (const Shortage& c : cases) {
        SCOPED_TRACE(c.message);
        ScopedEnv limit(c.variable, c.rule);
        ScopedEnv status("NVENC_EMU_SESSION_LIMIT_STATUS", c.status ? c.status : "");
        std::unique_ptr<EncoderCore> first;
        if (c.status) {
            first = std::make_unique<EncoderCore>(host);
            first->init_context(request(stream));
        }
        core = std::make_unique<EncoderCore>(host);
        try {
            core->init_context(request(stream));
            ADD_FAILURE() << "set up";
        } catch (const EncoderError& e) {
            EXPECT_EQ(e.kind(), EncoderError::Kind::Transient);
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
        }
        EXPECT_EQ(host.context_failures, ++noted);
        core->clean();
        if (first) first->clean();
        expect_released();
        if (first) {
            core->init_context(request(stream));
            EXPECT_FALSE(core->closed());
            core->clean();
        }
    }
}

// A switch that fails leaves the old configuration running (or, when the session refuses to go back,
// the core closed); one whose old buffers the driver keeps completes, and they go at teardown. A switch
// asks the driver nothing that the set-up asked already: the presets and input formats (and, without
// tunings, every preset's configuration) come from the session's catalogue, so their failing entry
// points do not stop it.
struct SwitchCase {
    Injection injection;
    enum Outcome { Old, New, Closed } outcome;
};

class SwitchFailureTest : public CoreTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(SwitchFailureTest, EndsFullyOldFullyNewOrClosed) {
    const SwitchCase& c = GetParam();
    set_up();
    encode(0);
    bool failed = false;
    {
        Armed armed(host, c.injection);
        failed = is_core_failure([&] { core->set_encoding_quality(100); });
    }
    EXPECT_EQ(failed, c.outcome != SwitchCase::New);
    switch (c.outcome) {
    case SwitchCase::Old:
        EXPECT_EQ(core->config().pixel_format, "NV12");
        EXPECT_FALSE(core->closed());
        stream.quality = 100;  // the quality is taken; the format switch is tried again with the next change
        encode(1, 50);
        encode(2, 50);
        EXPECT_EQ(core->config().pixel_format, "NV12");
        expect_decodes(3);
        break;
    case SwitchCase::New:
        EXPECT_EQ(core->config().pixel_format, "YUV444P");
        EXPECT_TRUE(core->config().lossless);
        encode(1, 100);
        EXPECT_EQ(decode_h264(frame->stream, true).frames.size(), 2u);
        break;
    case SwitchCase::Closed:
        EXPECT_TRUE(core->closed());
        EXPECT_EQ(host.sessions, 0);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SwitchFailureTest,
    ::testing::Values(SwitchCase{{"presets", "NVENC_EMU_FAIL", "nvEncGetEncodePresetGUIDs=8"}, SwitchCase::New},
                      SwitchCase{{"input_formats", "NVENC_EMU_FAIL", "nvEncGetInputFormats=8"}, SwitchCase::New},
                      // with tunings, the lossless tuning's configuration is new to the session
                      SwitchCase{{"preset_config", "NVENC_EMU_FAIL", kPresetConfigRule},
                                 api::kTunedPresets ? SwitchCase::Old : SwitchCase::New},
                      SwitchCase{{"kernel", nullptr, "kernel"}, SwitchCase::Old},
                      SwitchCase{{"buffer", "CUDA_EMU_FAIL", "cuMemAllocPitch=2"}, SwitchCase::Old},
                      SwitchCase{{"reconfigure", "NVENC_EMU_FAIL", "nvEncReconfigureEncoder=8"}, SwitchCase::Old},
                      SwitchCase{{"register", "NVENC_EMU_FAIL", "nvEncRegisterResource=8"}, SwitchCase::Old},
                      SwitchCase{{"register_and_restore", "NVENC_EMU_FAIL",
                                  "nvEncRegisterResource=8,nvEncReconfigureEncoder=8@2"},
                                 SwitchCase::Closed},
                      SwitchCase{{"unregister_old", "NVENC_EMU_FAIL", "nvEncUnregisterResource=8"}, SwitchCase::New},
                      SwitchCase{{"free_old", "CUDA_EMU_FAIL", "cuMemFree=1"}, SwitchCase::New}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.injection.name); });

// A frame that fails leaves the encoder going: the next pictures encode and the stream decodes (the
// picture after a failure is an IDR, so nothing refers to a picture the caller never got).
class FrameFailureTest : public CoreTest, public ::testing::WithParamInterface<Injection> {};

TEST_P(FrameFailureTest, TheEncoderGoesOn) {
    set_up();
    encode(0);
    {
        Armed armed(host, GetParam());
        frame->picture(1);
        is_core_failure([&] { frame->keep(core->compress(stream.quality, stream.speed, *frame, 0)); });
    }
    encode(2);
    encode(3);
    EXPECT_FALSE(core->closed());
    EXPECT_EQ(host.sessions, 1);
    expect_decodes(static_cast<int>(frame->results.size()));
}

INSTANTIATE_TEST_SUITE_P(Steps, FrameFailureTest,
                         ::testing::Values(Injection{"upload", "CUDA_EMU_FAIL", "cuMemcpyHtoD=1"},
                                           Injection{"kernel_launch", "CUDA_EMU_FAIL", "cuLaunchKernel=719"},
                                           Injection{"map", "NVENC_EMU_FAIL", "nvEncMapInputResource=8"},
                                           Injection{"encode", "NVENC_EMU_FAIL", "nvEncEncodePicture=8"},
                                           Injection{"lock", "NVENC_EMU_FAIL", "nvEncLockBitstream=8"},
                                           Injection{"unlock", "NVENC_EMU_FAIL", "nvEncUnlockBitstream=8"},
                                           Injection{"unmap", "NVENC_EMU_FAIL", "nvEncUnmapInputResource=8"},
                                           Injection{"memory_figures", "CUDA_EMU_FAIL", "cuMemGetInfo=1"},
                                           Injection{"handed_over", nullptr, "log", 3}),
                         label);

TEST_F(CoreTest, ALogicErrorRebuildsOnceAndASecondPropagates) {
    set_up();
    encode(0);
    {
        ScopedEnv env("CUDA_EMU_FAIL", "cuLaunchKernel=719@1");
        encode(1);  // rebuilt, then compressed again
    }
    EXPECT_TRUE(host.logged("warning: PyCUDA error: "));
    EXPECT_EQ(host.sessions_opened, 2);
    EXPECT_EQ(frame->results.back().frame, 0u);  // a new stream
    {
        ScopedEnv env("CUDA_EMU_FAIL", "cuLaunchKernel=719");
        frame->picture(2);
        EXPECT_THROW(frame->keep(core->compress(stream.quality, stream.speed, *frame, 0)), cuda::LogicError);
        // no rebuild
        EXPECT_THROW(frame->keep(core->compress(stream.quality, stream.speed, *frame, 1)), cuda::LogicError);
    }
    EXPECT_EQ(host.sessions_opened, 3);
    EXPECT_EQ(host.sessions, 1);
}

TEST_F(CoreTest, APictureTheStagingCannotTakeIsRefused) {
    set_up();
    frame->picture(0);
    frame->pixels.resize(frame->pixels.size() / 2);
    try {
        frame->keep(core->compress(stream.quality, stream.speed, *frame, 0));
        FAIL() << "short pixels";
    } catch (const EncoderError& e) {
        EXPECT_EQ(e.kind(), EncoderError::Kind::Value);
    }
    frame->picture(1);
    frame->packed = false;
    try {
        frame->keep(core->compress(stream.quality, stream.speed, *frame, 0));
        FAIL() << "planar picture";
    } catch (const EncoderError& e) {
        EXPECT_STREQ(e.what(), "invalid number of planes: 3");
    }
    EXPECT_EQ(frame->released, frame->reads);  // both released as the calls ended
    frame->packed = true;
    encode(3);
    frame->picture(4, 0, 1);
    try {
        frame->keep(core->compress(stream.quality, stream.speed, *frame, 0));
        FAIL() << "a timestamp before the first picture's";
    } catch (const EncoderError& e) {
        EXPECT_EQ(e.kind(), EncoderError::Kind::Overflow);
    }
    encode(5);
    expect_decodes(2);
}

// Teardown: every step runs, the first failure is raised, and what the driver refused is released by
// the next clean().
class TeardownFailureTest : public CoreTest, public ::testing::WithParamInterface<Injection> {};

TEST_P(TeardownFailureTest, FirstFailureRaisedAndTheNextCleanReleasesTheRest) {
    set_up();
    encode(0);
    encode(1, 100);  // a switched encoder: its retired stage goes too
    {
        Armed armed(host, GetParam());
        EXPECT_TRUE(is_core_failure([&] { core->clean(); }));
    }
    core->clean();
    expect_released();
}

INSTANTIATE_TEST_SUITE_P(Steps, TeardownFailureTest,
                         ::testing::Values(Injection{"end_of_stream", "NVENC_EMU_FAIL", "nvEncEncodePicture=8"},
                                           Injection{"unregister", "NVENC_EMU_FAIL", "nvEncUnregisterResource=8"},
                                           Injection{"free_host", "CUDA_EMU_FAIL", "cuMemFreeHost=1"},
                                           Injection{"free_device", "CUDA_EMU_FAIL", "cuMemFree=1"},
                                           Injection{"bitstream", "NVENC_EMU_FAIL", "nvEncDestroyBitstreamBuffer=8"},
                                           Injection{"session", "NVENC_EMU_FAIL", "nvEncDestroyEncoder=8"},
                                           Injection{"context", "CUDA_EMU_FAIL", "cuCtxDestroy=1"},
                                           Injection{"log_line", nullptr, "log", 1}),
                         label);

// A capability the session was asked for comes from its catalogue; one the driver refuses answers 0, is
// reported, and is asked again the next time.
TEST_F(CoreTest, ACapabilityIsAskedOnceAndAFailedQueryIsReportedAndAnswersZero) {
    set_up();  // its set-up lists every capability but the count
    const int yuv444 = core->query_encoder_caps(core->codec(), NV_ENC_CAPS_SUPPORT_YUV444_ENCODE);
    EXPECT_EQ(yuv444, 1);
    ScopedEnv env("NVENC_EMU_FAIL", "nvEncGetEncodeCaps=8");
    EXPECT_EQ(core->query_encoder_caps(core->codec(), NV_ENC_CAPS_SUPPORT_YUV444_ENCODE), yuv444);
    EXPECT_TRUE(host.unraisable.empty());
    for (int attempt = 1; attempt <= 2; ++attempt) {
        EXPECT_EQ(core->query_encoder_caps(core->codec(), NV_ENC_CAPS_EXPOSED_COUNT), 0);
        ASSERT_EQ(host.unraisable.size(), static_cast<std::size_t>(attempt));
        EXPECT_NE(host.unraisable.back().find(".Encoder.query_encoder_caps: getting encode caps for EXPOSED_COUNT"),
                  std::string::npos)
            << host.unraisable.back();
    }
}

// While the host drops debug lines, neither a set-up, a frame, a switch nor a teardown asks the host to
// describe anything for them.
TEST_F(CoreTest, DroppedLinesAskTheHostNothing) {
    host.debug_lines = false;
    set_up();
    encode(0);
    core->set_encoding_quality(100);
    encode(1, 100);
    core->clean();
    EXPECT_EQ(host.descriptions, 0);
    EXPECT_TRUE(host.lines.empty()) << host.lines.front();
    host.debug_lines = true;
    set_up();
    EXPECT_GT(host.descriptions, 0);
}

TEST_F(CoreTest, ReportsFramesBytesAndRate) {
    set_up();
    for (int i = 0; i < 4; ++i) encode(i);
    EXPECT_EQ(core->frames(), 4u);
    EXPECT_GT(core->bytes_in(), core->bytes_out());
    EXPECT_EQ(core->bytes_out(), frame->stream.size());
    EXPECT_GT(core->total_memory(), 0u);
    const std::optional<FrameRate> rate = core->frame_rate(host.now());
    ASSERT_TRUE(rate.has_value());
    EXPECT_GE(rate->fps, 1);
    EXPECT_FALSE(core->frame_rate(host.now() + 60).has_value());  // nothing in the last 10 seconds
    const Value* name = core->cuda_device_info().find("device.name");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->as_text(), "Tevu CPU Device 0");
    core->clean();
    EXPECT_EQ(core->frames(), 0u);
    EXPECT_TRUE(core->cuda_device_info().is_none());
}

// Every driver call of a picture runs in a blocking section, where the host lets its other threads
// run; each one entered is left.
int sections_entered = 0, sections_left = 0;
void* enter_section() noexcept {
    ++sections_entered;
    return &sections_entered;
}
void leave_section(void* token) {
    EXPECT_EQ(token, &sections_entered);
    ++sections_left;
}

TEST_F(CoreTest, DriverCallsRunInBlockingSections) {
    set_up();
    encode(0);
    install_blocking_hooks({&enter_section, &leave_section});
    sections_entered = sections_left = 0;
    encode(1);
    // pixels that are not pinned: taken again for the copy, which runs outside any section
    frame->pinned = false;
    encode(2);
    install_blocking_hooks({});
    // staging, upload, kernel, map, encode, lock, unlock, unmap; then all but the staging
    EXPECT_EQ(sections_entered, 8 + 7);
    EXPECT_EQ(sections_left, sections_entered);
    EXPECT_EQ(frame->taken_again, 1);
    expect_decodes(3);  // the last picture is the one current_pixels() gave, not the zeros read() did
    encode(3);
    EXPECT_EQ(sections_entered, 8 + 7);  // no hooks: nothing entered
}

TEST(HostValue, DictionaryKeepsInsertionOrderAndReplacesInPlace) {
    Value d = Value::dict();
    d.set(value("b"), value(1));
    d.set(value("a"), value(2));
    d.set(value("b"), value(3));
    d.set(Value(), value("none"));
    EXPECT_EQ(percent_format("%s", {d}), "{'b': 3, 'a': 2, None: 'none'}");
    ASSERT_NE(d.find("a"), nullptr);
    EXPECT_EQ(d.find("a")->as_int(), 2);
    EXPECT_EQ(d.find("c"), nullptr);
    EXPECT_EQ(value(static_cast<const char*>(nullptr)).kind(), Value::Kind::None);
    EXPECT_EQ(value(HostRef()).kind(), Value::Kind::None);
    EXPECT_EQ(value(uint64_t{1} << 63).as_unsigned(), uint64_t{1} << 63);
}

// The host's formatting as the core's messages use it.
TEST(PercentFormat, FormatsTheCoresValues) {
    EXPECT_EQ(percent_format("%s/%s %i %#x %.1f%% %r", {value("a"), Value(), value(7), value(255u), value(2.25),
                                                           value("q")}),
              "a/None 7 0xff 2.2% 'q'");
    EXPECT_EQ(percent_format("%-6s|%s", {value("ab"), tuple_value(1, true)}), "ab    |(1, True)");
    EXPECT_EQ(percent_format("%#x %#x %x %#06x|%-5x|", {value(0u), value(-26), value(-26), value(10), value(10)}),
              "0x0 -0x1a -1a 0x000a|a    |");
    const std::string long_text(2000, 'x');  // longer than a line usually is
    EXPECT_EQ(percent_format("<%s>", {value(long_text)}), "<" + long_text + ">");
}

}  // namespace
}  // namespace tevu::nvenc::testing
