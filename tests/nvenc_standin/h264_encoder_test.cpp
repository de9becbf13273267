// The libx264 encoding core: decoded with ffmpeg and compared with its source.
#include "h264_encoder.h"

#include <gtest/gtest.h>

#include <functional>

#include "picture_tools.h"

using namespace tevu::standin::nvenc;
using nvenc_test::YuvPicture;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 192;

EncoderSettings settings_for(ChromaFormat chroma) {
    EncoderSettings s;
    s.width = kWidth;
    s.height = kHeight;
    s.chroma = chroma;
    return s;
}

EncoderSettings lossless(ChromaFormat chroma) {
    EncoderSettings s = settings_for(chroma);
    s.rate.const_qp = {0, 0, 0};
    s.transform_bypass = true;
    return s;
}

struct Encoded {
    std::vector<uint8_t> stream;
    std::vector<EncodedPicture> pictures;
    std::vector<YuvPicture> sources;
};

// Encodes frames 0..count-1 of the desktop sequence, the first as IDR with parameter sets; every
// picture also carries what `later` asks.
Encoded encode_sequence(H264Encoder& encoder, int count, const PictureRequest& later = {}) {
    Encoded e;
    const EncoderSettings& s = encoder.settings();
    const bool yuv444 = s.chroma == ChromaFormat::Yuv444;
    const int pitch = s.width + 64;
    for (int i = 0; i < count; ++i) {
        e.sources.push_back(nvenc_test::desktop_yuv(s.width, s.height, i, yuv444));
        const std::vector<uint8_t> buffer = nvenc_test::to_pitched(e.sources.back(), pitch);
        PictureRequest request = later;
        if (i == 0) {
            request.force_idr = true;
            request.with_parameter_sets = true;
        }
        request.pts = i;
        e.pictures.push_back(encoder.encode(picture_in_buffer(buffer.data(), pitch, s.height, s.chroma), request));
        e.stream.insert(e.stream.end(), e.pictures.back().data.begin(), e.pictures.back().data.end());
    }
    return e;
}

Encoded encode_sequence(const EncoderSettings& settings, int count, const PictureRequest& later = {}) {
    H264Encoder encoder(settings);
    return encode_sequence(encoder, count, later);
}

double lowest_psnr(const Encoded& e, bool yuv444) {
    const nvenc_test::DecodedStream decoded = nvenc_test::decode_h264(e.stream, yuv444);
    EXPECT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.frames.size(), e.sources.size());
    double lowest = 1000;
    for (size_t i = 0; i < std::min(decoded.frames.size(), e.sources.size()); ++i)
        lowest = std::min(lowest, nvenc_test::psnr(decoded.frames[i], e.sources[i]));
    return lowest;
}

}  // namespace

TEST(H264Encoder, StreamDecodesToTheSourceSizeAndFrameCount) {
    for (ChromaFormat chroma : {ChromaFormat::Yuv420, ChromaFormat::Yuv444}) {
        const bool yuv444 = chroma == ChromaFormat::Yuv444;
        const Encoded e = encode_sequence(settings_for(chroma), 6);
        const auto decoded = nvenc_test::decode_h264(e.stream, yuv444);
        ASSERT_EQ(decoded.error, "");
        EXPECT_EQ(decoded.width, kWidth);
        EXPECT_EQ(decoded.height, kHeight);
        EXPECT_EQ(decoded.frames.size(), 6u);
        EXPECT_GE(lowest_psnr(e, yuv444), 38.0) << "4:4:4=" << yuv444;
    }
}

TEST(H264Encoder, LosslessAtQuantiserZeroWithTransformBypass) {
    for (ChromaFormat chroma : {ChromaFormat::Yuv420, ChromaFormat::Yuv444}) {
        const bool yuv444 = chroma == ChromaFormat::Yuv444;
        const Encoded e = encode_sequence(lossless(chroma), 4);
        const auto decoded = nvenc_test::decode_h264(e.stream, yuv444);
        ASSERT_EQ(decoded.error, "");
        ASSERT_EQ(decoded.frames.size(), 4u);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_TRUE(nvenc_test::identical(decoded.frames[i], e.sources[i])) << "frame " << i << " 4:4:4=" << yuv444;
    }
}

TEST(H264Encoder, QuantiserZeroWithoutTransformBypassIsNotLossless) {
    EncoderSettings s = lossless(ChromaFormat::Yuv444);
    s.transform_bypass = false;
    const Encoded e = encode_sequence(s, 2);
    const auto decoded = nvenc_test::decode_h264(e.stream, true);
    ASSERT_EQ(decoded.frames.size(), 2u);
    EXPECT_FALSE(nvenc_test::identical(decoded.frames[0], e.sources[0]));
    EXPECT_GE(nvenc_test::psnr(decoded.frames[0], e.sources[0]), 50.0);
}

TEST(H264Encoder, IdrWithParameterSetsFirstThenPredictedPictures) {
    const Encoded e = encode_sequence(settings_for(ChromaFormat::Yuv420), 4);
    EXPECT_EQ(nvenc_test::nal_types(e.pictures[0].data), (std::vector<int>{7, 8, 5}));
    EXPECT_EQ(e.pictures[0].kind, PictureKind::Idr);
    for (size_t i = 1; i < e.pictures.size(); ++i) {
        EXPECT_EQ(nvenc_test::nal_types(e.pictures[i].data), (std::vector<int>{1})) << "picture " << i;
        EXPECT_EQ(e.pictures[i].kind, PictureKind::Predicted);
    }
}

TEST(H264Encoder, PictureRequestsForceIdrAndParameterSets) {
    struct Case {
        const char* name;
        PictureRequest request;
        std::vector<int> nals;
        PictureKind kind;
    };
    PictureRequest idr, idr_with_sets, sets_only;
    idr.force_idr = true;
    idr_with_sets.force_idr = idr_with_sets.with_parameter_sets = true;
    sets_only.with_parameter_sets = true;
    const std::vector<Case> cases = {
        {"idr", idr, {5}, PictureKind::Idr},
        {"idr with sets", idr_with_sets, {7, 8, 5}, PictureKind::Idr},
        {"sets only", sets_only, {7, 8, 1}, PictureKind::Predicted},
    };
    for (const Case& c : cases) {
        H264Encoder encoder(settings_for(ChromaFormat::Yuv420));
        Encoded e = encode_sequence(encoder, 2);
        const YuvPicture pic = nvenc_test::desktop_yuv(kWidth, kHeight, 2, false);
        const auto buffer = nvenc_test::to_pitched(pic, kWidth);
        const EncodedPicture out = encoder.encode(picture_in_buffer(buffer.data(), kWidth, kHeight, ChromaFormat::Yuv420), c.request);
        EXPECT_EQ(nvenc_test::nal_types(out.data), c.nals) << c.name;
        EXPECT_EQ(out.kind, c.kind) << c.name;
        e.stream.insert(e.stream.end(), out.data.begin(), out.data.end());
        EXPECT_EQ(nvenc_test::decode_h264(e.stream, false).frames.size(), 3u) << c.name;
    }
}

TEST(H264Encoder, AutomaticPictureTypesFollowTheIdrPeriod) {
    struct Case {
        bool repeat;
        std::vector<int> third_picture_nals;
    };
    for (const Case& c : {Case{false, {5}}, Case{true, {7, 8, 5}}}) {
        EncoderSettings s = settings_for(ChromaFormat::Yuv420);
        s.keyint = 3;
        s.repeat_parameter_sets = c.repeat;
        const Encoded e = encode_sequence(s, 7);
        for (size_t i = 0; i < e.pictures.size(); ++i)
            EXPECT_EQ(e.pictures[i].kind, i % 3 == 0 ? PictureKind::Idr : PictureKind::Predicted) << i;
        EXPECT_EQ(nvenc_test::nal_types(e.pictures[3].data), c.third_picture_nals) << "repeat=" << c.repeat;
        EXPECT_EQ(nvenc_test::decode_h264(e.stream, false).frames.size(), 7u);
    }
}

TEST(H264Encoder, QuantiserAndBitrateSteerSizeAndQuality) {
    EncoderSettings fine = settings_for(ChromaFormat::Yuv420), coarse = fine;
    fine.rate.const_qp = {18, 20, 16};
    coarse.rate.const_qp = {42, 44, 40};
    const Encoded f = encode_sequence(fine, 3), c = encode_sequence(coarse, 3);
    EXPECT_GT(f.stream.size(), 2 * c.stream.size());
    EXPECT_GT(lowest_psnr(f, false), lowest_psnr(c, false) + 5);

    EncoderSettings low = settings_for(ChromaFormat::Yuv420), high = low;
    low.rate.mode = high.rate.mode = RateControl::VariableBitrate;
    low.rate.average_bitrate = 100000;
    low.rate.max_bitrate = 200000;
    high.rate.average_bitrate = 4000000;
    high.rate.max_bitrate = 8000000;
    const Encoded l = encode_sequence(low, 8), h = encode_sequence(high, 8);
    EXPECT_GT(h.stream.size(), 2 * l.stream.size());
    EXPECT_GE(lowest_psnr(h, false), 38.0);
}

TEST(H264Encoder, QuantiserRangesBoundTheStreamAndThePicture) {
    QpRange coarse;
    coarse.min_enabled = coarse.max_enabled = true;
    coarse.min_qp = 44;
    coarse.max_qp = 51;
    EncoderSettings constant = settings_for(ChromaFormat::Yuv420), bitrate = constant, bounded_bitrate;
    constant.rate.const_qp = {20, 22, 18};
    bitrate.rate.mode = RateControl::VariableBitrate;
    bitrate.rate.average_bitrate = 20000000;
    bitrate.rate.max_bitrate = 40000000;
    bounded_bitrate = bitrate;
    bounded_bitrate.rate.range = coarse;
    PictureRequest bounded_picture;
    bounded_picture.range = coarse;
    struct Case {
        const char* name;
        Encoded free_run, limited;
    };
    const std::vector<Case> cases = {
        {"picture range, constant quantiser", encode_sequence(constant, 4), encode_sequence(constant, 4, bounded_picture)},
        {"session range, bitrate", encode_sequence(bitrate, 4), encode_sequence(bounded_bitrate, 4)},
    };
    for (const Case& c : cases) {
        EXPECT_LT(c.limited.stream.size(), c.free_run.stream.size()) << c.name;
        EXPECT_LT(lowest_psnr(c.limited, false) + 3, lowest_psnr(c.free_run, false)) << c.name;
    }
}

TEST(H264Encoder, RefusesWhatItCannotEncode) {
    struct Case {
        const char* name;
        EncoderSettings settings;
    };
    EncoderSettings baseline444 = settings_for(ChromaFormat::Yuv444), odd = settings_for(ChromaFormat::Yuv420),
                    no_bitrate = odd, high_lossless = lossless(ChromaFormat::Yuv420), no_rate = odd;
    baseline444.profile = Profile::Baseline;
    odd.width = 321;
    no_bitrate.rate.mode = RateControl::VariableBitrate;
    high_lossless.profile = Profile::High;
    no_rate.fps_num = 0;
    for (const Case& c : {Case{"baseline 4:4:4", baseline444}, Case{"odd width", odd}, Case{"no bitrate", no_bitrate},
                          Case{"lossless in high", high_lossless}, Case{"no frame rate", no_rate}})
        EXPECT_THROW(H264Encoder encoder(c.settings), EncoderError) << c.name;
}

TEST(H264Encoder, ColourDescriptionOnlyWhenAsked) {
    struct Case {
        bool describe;
        const char* expected;
    };
    for (const Case& c : {Case{false, "unknown"}, Case{true, "bt709"}}) {
        EncoderSettings s = settings_for(ChromaFormat::Yuv420);
        s.colour.colour_description_present = c.describe;
        s.colour.primaries = s.colour.transfer = s.colour.matrix = 1;
        const Encoded e = encode_sequence(s, 1);
        nvenc_test::TempDir dir;
        const std::string file = dir.path("s.h264");
        FILE* f = std::fopen(file.c_str(), "wb");
        std::fwrite(e.stream.data(), 1, e.stream.size(), f);
        std::fclose(f);
        std::string out;
        ASSERT_EQ(nvenc_test::run_command("ffprobe -v error -show_entries stream=color_space -of csv=p=0 " + file, &out), 0);
        EXPECT_EQ(out.substr(0, out.find_first_of("\n,")), c.expected);
    }
}

// The rate control changes within a stream with a rate buffer, as far as the driver's capabilities offer;
// anything else needs a new encoder. The pictures after a change in place go on without an IDR picture,
// with their quantisers within the new bounds.
TEST(H264Encoder, RateControlChangesWithinTheStream) {
    EncoderSettings vbr = settings_for(ChromaFormat::Yuv420);
    vbr.rate.mode = RateControl::VariableBitrate;
    vbr.rate.average_bitrate = 1000000;
    vbr.rate.max_bitrate = 2000000;
    const LiveRateChanges rates{true, false}, all{true, true}, none{false, false};
    struct Case {
        const char* name;
        std::function<void(EncoderSettings&)> change;
        LiveRateChanges offered;
        bool in_place;
    };
    const std::vector<Case> cases = {
        {"new bitrates", [](EncoderSettings& s) { s.rate.average_bitrate = 3000000; s.rate.max_bitrate = 6000000; }, rates, true},
        {"new bitrates, not offered", [](EncoderSettings& s) { s.rate.average_bitrate = 3000000; }, none, false},
        {"constant bitrate", [](EncoderSettings& s) { s.rate.mode = RateControl::ConstantBitrate; }, rates, false},
        {"constant bitrate, offered", [](EncoderSettings& s) { s.rate.mode = RateControl::ConstantBitrate; }, all, true},
        {"constant quantiser", [](EncoderSettings& s) { s.rate.mode = RateControl::ConstQp; }, all, false},
        {"narrower quantiser bounds", [](EncoderSettings& s) {
             s.rate.range = {true, true, 36, 40};
             s.rate.average_bitrate = 3000000;
             s.rate.max_bitrate = 6000000;
         }, rates, true},
        {"wider quantiser bounds", [](EncoderSettings& s) { s.rate.range = {true, true, 2, 12}; }, rates, true},
        {"no peak rate", [](EncoderSettings& s) { s.rate.max_bitrate = 0; }, all, false},
        {"another speed", [](EncoderSettings& s) { s.speed = "ultrafast"; }, all, false},
    };
    for (const Case& c : cases) {
        H264Encoder encoder(vbr);
        Encoded e = encode_sequence(encoder, 2);
        EncoderSettings next = vbr;
        c.change(next);
        EXPECT_EQ(encoder.change_rate(next, c.offered), c.in_place) << c.name;
        EXPECT_EQ(encoder.settings().rate.average_bitrate, c.in_place ? next.rate.average_bitrate : 1000000u) << c.name;
        if (!c.in_place) continue;
        const int pitch = kWidth + 64;
        for (int i = 2; i < 8; ++i) {
            e.sources.push_back(nvenc_test::desktop_yuv(kWidth, kHeight, i, false));
            const std::vector<uint8_t> buffer = nvenc_test::to_pitched(e.sources.back(), pitch);
            PictureRequest request;
            request.pts = i;
            const EncodedPicture p =
                encoder.encode(picture_in_buffer(buffer.data(), pitch, kHeight, ChromaFormat::Yuv420), request);
            EXPECT_EQ(p.kind, PictureKind::Predicted) << c.name << " picture " << i;
            if (next.rate.range.min_enabled) {
                EXPECT_GE(p.average_qp, next.rate.range.min_qp) << c.name << " picture " << i;
                EXPECT_LE(p.average_qp, next.rate.range.max_qp) << c.name << " picture " << i;
            }
            e.stream.insert(e.stream.end(), p.data.begin(), p.data.end());
        }
        EXPECT_GT(lowest_psnr(e, false), 20.0) << c.name;
    }
}
