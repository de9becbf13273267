// Edits of libx264's units: emulation prevention, another idr_pic_id, the transform bypass flag; the
// edited streams decoded with ffmpeg.
#include "nal_edit.h"

#include <gtest/gtest.h>

#include "h264_encoder.h"
#include "picture_tools.h"

using namespace tevu::standin::nvenc;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 192;

struct EditedRun {
    std::vector<uint8_t> stream;
    std::vector<std::optional<uint32_t>> ids;
    std::vector<nvenc_test::YuvPicture> sources;
};

// Encodes `count` desktop frames, every one an IDR picture when `all_idr`; the first has parameter sets.
EditedRun encode(const EncoderSettings& s, int count, bool all_idr, std::optional<uint32_t> previous = std::nullopt) {
    H264Encoder encoder(s);
    EditedRun run;
    const bool yuv444 = s.chroma == ChromaFormat::Yuv444;
    for (int i = 0; i < count; ++i) {
        run.sources.push_back(nvenc_test::desktop_yuv(s.width, s.height, i, yuv444));
        const std::vector<uint8_t> buffer = nvenc_test::to_pitched(run.sources.back(), s.width);
        PictureRequest request;
        request.force_idr = i == 0 || all_idr;
        request.with_parameter_sets = i == 0;
        request.pts = i;
        request.previous_idr_pic_id = previous;
        const EncodedPicture p = encoder.encode(picture_in_buffer(buffer.data(), s.width, s.height, s.chroma), request);
        run.stream.insert(run.stream.end(), p.data.begin(), p.data.end());
        run.ids.push_back(p.idr_pic_id);
    }
    return run;
}

EncoderSettings settings(ChromaFormat chroma, bool lossless, EntropyCoding entropy = EntropyCoding::Auto) {
    EncoderSettings s;
    s.width = kWidth;
    s.height = kHeight;
    s.chroma = chroma;
    s.entropy = entropy;
    if (lossless) {
        s.rate.const_qp = {0, 0, 0};
        s.transform_bypass = true;
    }
    return s;
}

}  // namespace

TEST(NalEdit, EmulationPreventionBothWays) {
    struct Case {
        std::vector<uint8_t> payload, escaped;
    };
    const std::vector<Case> cases = {
        {{0x65, 0x00, 0x00, 0x01}, {0x65, 0x00, 0x00, 0x03, 0x01}},
        {{0x65, 0x00, 0x00, 0x03, 0x00, 0x00, 0x02}, {0x65, 0x00, 0x00, 0x03, 0x03, 0x00, 0x00, 0x03, 0x02}},
        {{0x65, 0x00, 0x00, 0x00, 0x00}, {0x65, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03}},
        {{0x65, 0x00, 0x00, 0x04, 0x00, 0x01}, {0x65, 0x00, 0x00, 0x04, 0x00, 0x01}},
        {{0x65, 0x00, 0x10, 0x00, 0x00, 0x80}, {0x65, 0x00, 0x10, 0x00, 0x00, 0x80}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escape_payload(c.payload), c.escaped) << testing::PrintToString(c.payload);
        EXPECT_EQ(unescape_payload(c.escaped.data(), c.escaped.size()), c.payload) << testing::PrintToString(c.escaped);
    }
}

// libx264 alternates 0 and 1 over an encoder's IDR pictures; a value equal to the previous IDR picture's
// becomes one eight bits longer, in both entropy codings, and the pictures still decode exactly.
TEST(NalEdit, IdrPicturesAvoidThePreviousId) {
    struct Case {
        std::optional<uint32_t> previous;
        std::vector<long> ids;
    };
    const std::vector<Case> cases = {{0, {15, 1, 15}}, {1, {0, 31, 0}}, {7, {0, 1, 0}}, {std::nullopt, {0, 1, 0}}};
    for (EntropyCoding entropy : {EntropyCoding::Cabac, EntropyCoding::Cavlc})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "cavlc=" << (entropy == EntropyCoding::Cavlc) << " previous="
                                            << (c.previous ? long(*c.previous) : -1));
            const EditedRun run = encode(settings(ChromaFormat::Yuv444, true, entropy), 3, true, c.previous);
            EXPECT_EQ(nvenc_test::header_values(run.stream, "idr_pic_id"), c.ids);
            for (size_t i = 0; i < run.ids.size(); ++i)
                EXPECT_EQ(run.ids[i], std::optional<uint32_t>(uint32_t(c.ids[i]))) << "picture " << i;
            const nvenc_test::DecodedStream decoded = nvenc_test::decode_h264(run.stream, true);
            ASSERT_EQ(decoded.error, "");
            ASSERT_EQ(decoded.frames.size(), run.sources.size());
            for (size_t i = 0; i < run.sources.size(); ++i)
                EXPECT_TRUE(nvenc_test::identical(decoded.frames[i], run.sources[i])) << "picture " << i;
        }
    const EditedRun untouched = encode(settings(ChromaFormat::Yuv420, false), 2, true, 7);
    EXPECT_EQ(untouched.stream, encode(settings(ChromaFormat::Yuv420, false), 2, true).stream)
        << "no other edit of the slices";
}

TEST(NalEdit, HighFourFourFourSequencesAnnounceTheTransformBypass) {
    struct Case {
        const char* name;
        EncoderSettings settings;
        long flag;
    };
    EncoderSettings high444_420 = settings(ChromaFormat::Yuv420, false);
    high444_420.profile = Profile::High444;
    EncoderSettings bypass_coarse = settings(ChromaFormat::Yuv444, true);
    bypass_coarse.rate.const_qp = {20, 20, 20};  // the bypass asked for, but not lossless: left to libx264
    const std::vector<Case> cases = {
        {"4:2:0 High", settings(ChromaFormat::Yuv420, false), 0},
        {"4:4:4 lossy", settings(ChromaFormat::Yuv444, false), 1},
        {"4:4:4 lossless", settings(ChromaFormat::Yuv444, true), 1},
        {"4:2:0 lossless", settings(ChromaFormat::Yuv420, true), 1},
        {"4:2:0 asking for High 4:4:4 (libx264 writes High)", high444_420, 0},
        {"4:4:4 bypass at 20", bypass_coarse, 0},
    };
    for (const Case& c : cases) {
        const EditedRun run = encode(c.settings, 3, false);
        // ffmpeg reads the stream's first parameter sets twice: as the stream's extradata and in place.
        EXPECT_EQ(nvenc_test::header_values(run.stream, "qpprime_y_zero_transform_bypass_flag"),
                  (std::vector<long>{c.flag, c.flag}))
            << c.name;
        const nvenc_test::DecodedStream decoded = nvenc_test::decode_h264(run.stream, c.settings.chroma == ChromaFormat::Yuv444);
        ASSERT_EQ(decoded.frames.size(), run.sources.size()) << c.name;
        for (size_t i = 0; i < run.sources.size(); ++i)
            EXPECT_GE(nvenc_test::psnr(decoded.frames[i], run.sources[i]), 38.0) << c.name << " picture " << i;
    }
}
