// H.264 encoding of planar YUV pictures with libx264: one picture in, one access unit out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoder.h"
#include "nal_edit.h"

struct x264_t;

namespace tevu::standin::nvenc {

// One libx264 encoder.
class H264Encoder : public Encoder {
public:
    explicit H264Encoder(const EncoderSettings& settings);  // throws EncoderError
    ~H264Encoder() override;
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    EncodedPicture encode(const PictureView& picture, const PictureRequest& request) override;
    const EncoderSettings& settings() const override { return settings_; }
    // Takes the rate control of `next` for the pictures to come, within the stream (no new IDR picture):
    // its bitrates and quantiser bounds, and its mode where `changes` allows. False, changing nothing, when
    // `next` differs in anything else or in what `changes` does not allow, when either has a constant
    // quantiser, or when the stream or `next` has no peak rate (libx264 changes the bitrate of a stream
    // with a rate buffer only).
    bool change_rate(const EncoderSettings& next, const LiveRateChanges& changes) override;

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
