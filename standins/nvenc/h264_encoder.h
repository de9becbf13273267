// H.264 encoding of planar YUV pictures with libx264: one picture in, one access unit out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "nal_edit.h"

struct x264_t;

namespace tevu::standin::nvenc {

enum class ChromaFormat { Yuv420, Yuv444 };
enum class RateControl { ConstQp, VariableBitrate, ConstantBitrate };
enum class Profile { Auto, Baseline, Main, High, High444 };
enum class EntropyCoding { Auto, Cabac, Cavlc };

// A quantiser per picture kind, as the encoder's configuration carries them.
struct QpTriple {
    int inter_p = 0;
    int inter_b = 0;
    int intra = 0;
};

// Inclusive quantiser bounds; a disabled bound leaves the encoder's own limit.
struct QpRange {
    bool min_enabled = false;
    bool max_enabled = false;
    int min_qp = 0;
    int max_qp = 51;
};

struct RateSettings {
    RateControl mode = RateControl::ConstQp;
    QpTriple const_qp{23, 25, 21};
    uint32_t average_bitrate = 0;  // bits per second
    uint32_t max_bitrate = 0;
    uint32_t vbv_buffer_size = 0;  // bits, 0: one second at the maximum rate
    QpRange range;
};

struct ColourSignal {
    bool signal_type_present = false;
    int video_format = 5;
    bool full_range = false;
    bool colour_description_present = false;
    int primaries = 2;
    int transfer = 2;
    int matrix = 2;
};

struct EncoderSettings {
    int width = 0;
    int height = 0;
    ChromaFormat chroma = ChromaFormat::Yuv420;
    Profile profile = Profile::Auto;
    EntropyCoding entropy = EntropyCoding::Auto;
    RateSettings rate;
    bool transform_bypass = false;  // with a constant quantiser of 0: lossless
    uint32_t fps_num = 30;
    uint32_t fps_den = 1;
    int reference_frames = 1;
    int keyint = 0;                       // IDR period for pictures of automatic type; 0: never
    bool repeat_parameter_sets = false;   // SPS and PPS before every IDR picture
    std::string speed = "superfast";  // libx264 speed preset
    ColourSignal colour;

    bool lossless() const {
        return transform_bypass && rate.mode == RateControl::ConstQp && rate.const_qp.inter_p == 0 &&
               rate.const_qp.intra == 0;
    }
};

// One picture's planes. NV12: planes[0] luma, planes[1] interleaved chroma. YUV444: three full planes.
struct PictureView {
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    int pitch[3] = {0, 0, 0};
};

// Builds the plane view of a pitched buffer holding a whole picture (luma rows first, then chroma).
PictureView picture_in_buffer(const uint8_t* base, int pitch, int height, ChromaFormat chroma);

// What one picture asks of the encoder.
struct PictureRequest {
    bool force_idr = false;
    bool force_intra = false;
    bool with_parameter_sets = false;  // SPS and PPS before this picture
    int64_t pts = 0;
    // Picture-level quantiser bounds. They move a constant quantiser into the range; libx264 cannot
    // change a bitrate stream's bounds within the stream, so there the session's bounds stay.
    QpRange range;
    // The idr_pic_id of the stream's last IDR picture, from whichever encoder made it: an IDR picture
    // with the same value gets another one.
    std::optional<uint32_t> previous_idr_pic_id;
};

enum class PictureKind { Idr, Intra, Predicted };

struct EncodedPicture {
    std::vector<uint8_t> data;  // Annex-B byte stream
    PictureKind kind = PictureKind::Predicted;
    int average_qp = 0;
    std::optional<uint32_t> idr_pic_id;  // IDR pictures: the value their slices carry
};

class EncoderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The rate-control changes a running stream takes in place, as a driver's capabilities offer them.
struct LiveRateChanges {
    bool rate = true;   // bitrates and quantiser bounds
    bool mode = false;  // between the bitrate modes
};

// One libx264 encoder; zero latency: every picture comes out of the call that takes it.
class H264Encoder {
public:
    explicit H264Encoder(const EncoderSettings& settings);  // throws EncoderError
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    EncodedPicture encode(const PictureView& picture, const PictureRequest& request);
    const EncoderSettings& settings() const { return settings_; }
    // Takes the rate control of `next` for the pictures to come, within the stream (no new IDR picture):
    // its bitrates and quantiser bounds, and its mode where `changes` allows. False, changing nothing, when
    // `next` differs in anything else or in what `changes` does not allow, when either has a constant
    // quantiser, or when the stream or `next` has no peak rate (libx264 changes the bitrate of a stream
    // with a rate buffer only).
    bool change_rate(const EncoderSettings& next, const LiveRateChanges& changes);

private:
    struct Closer {
        void operator()(x264_t* encoder) const;
    };
    void read_parameter_sets();
    // Quantiser bounds brought in within the stream, which libx264 cannot change in place: while they
    // differ from those it was opened with, each picture's quantiser is chosen here, within them.
    void steer_quantiser(int bits);
    EncoderSettings settings_;
    QpRange opened_range_;              // the bounds libx264 enforces
    std::optional<QpRange> live_range_;
    int live_qp_ = 0;                   // the next picture's quantiser while live_range_ is set
    int last_qp_ = -1;                  // of the last picture; -1 before any
    std::unique_ptr<x264_t, Closer> encoder_;
    std::vector<uint8_t> parameter_sets_;  // SPS and PPS, as every picture that asks for them carries them
    SequenceLayout sequence_;
};

}  // namespace tevu::standin::nvenc
