// HEVC encoding of planar YUV pictures with libx265: one picture in, one access unit out (Main for 4:2:0,
// Main 4:4:4 for 4:4:4, lossless with the transform bypass).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "encoder.h"

struct x265_encoder;
struct x265_param;
struct x265_picture;

namespace tevu::standin::nvenc {

class HevcEncoder : public Encoder {
public:
    explicit HevcEncoder(const EncoderSettings& settings);  // throws EncoderError
    ~HevcEncoder() override;
    HevcEncoder(const HevcEncoder&) = delete;
    HevcEncoder& operator=(const HevcEncoder&) = delete;

    EncodedPicture encode(const PictureView& picture, const PictureRequest& request) override;
    const EncoderSettings& settings() const override { return settings_; }
    // New bitrates and bounds go on in the same stream: libx265 takes no new bitrate within a stream (its
    // reconfiguration leaves the quantisers where they were), so from then on each picture's quantiser is
    // chosen here (steered_quantiser).
    bool change_rate(const EncoderSettings& next, const LiveRateChanges& changes) override;

private:
    struct Closer {
        void operator()(x265_encoder* encoder) const;
        void operator()(x265_param* params) const;
        void operator()(x265_picture* picture) const;
    };
    void read_parameter_sets();
    EncoderSettings settings_;
    bool steered_ = false;  // after a rate change within the stream
    int next_qp_ = 0;       // the next picture's quantiser while steered
    int last_qp_ = -1;      // of the last picture; -1 before any
    std::unique_ptr<x265_param, Closer> params_;
    std::unique_ptr<x265_encoder, Closer> encoder_;
    std::unique_ptr<x265_picture, Closer> input_;
    std::vector<uint8_t> parameter_sets_;  // VPS, SPS and PPS, as every picture that asks for them carries them
};

}  // namespace tevu::standin::nvenc
