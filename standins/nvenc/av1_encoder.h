// AV1 encoding of NV12 pictures with libaom in its real-time mode: one picture in, one temporal unit out in
// the low-overhead OBU format (a temporal delimiter, the sequence header before every key frame, the frame).
//
// Why libaom and not SVT-AV1 (Debian's libaom 3.6 and SVT-AV1 1.4.1, a desktop-like 1920x1080 sequence,
// one thread, CBR at 4 Mbit/s): libaom at speed 10 took 32.5 ms a picture for 42.7 dB PSNR at 4.5 kB a
// picture; SVT-AV1's fastest preset (13) 28.7 ms for 42.4 dB at 11.3 kB (preset 12: 43 ms). SVT-AV1 is a
// little faster but overshoots the rate 2.5 times for the same quality, its low-delay structure still
// held three pictures back (37 temporal units out of 40 pictures sent), it forces key frames only in its
// random-access mode and takes no bitrate change within the stream; libaom gives every picture back from
// the call that takes it, forces key frames anywhere and changes bitrates in place.
#pragma once

#include <memory>

#include "encoder.h"

struct aom_codec_ctx;
struct aom_codec_enc_cfg;

namespace tevu::standin::nvenc {

class Av1Encoder : public Encoder {
public:
    explicit Av1Encoder(const EncoderSettings& settings);  // throws EncoderError
    ~Av1Encoder() override;
    Av1Encoder(const Av1Encoder&) = delete;
    Av1Encoder& operator=(const Av1Encoder&) = delete;

    // Quantisers, of the settings and of the result, are AV1's quantiser indices (0 to 255).
    EncodedPicture encode(const PictureView& picture, const PictureRequest& request) override;
    const EncoderSettings& settings() const override { return settings_; }
    // Bitrates and quantiser bounds change in place, within one bitrate mode.
    bool change_rate(const EncoderSettings& next, const LiveRateChanges& changes) override;

private:
    struct Closer {
        void operator()(aom_codec_ctx* context) const;
    };
    EncoderSettings settings_;
    std::unique_ptr<aom_codec_enc_cfg> config_;
    std::unique_ptr<aom_codec_ctx, Closer> context_;
    // libaom's rate control spends by presentation time: the pictures are one frame period apart, as the
    // session declared them, whatever timestamps the client gave.
    int64_t next_pts_ = 0;
};

}  // namespace tevu::standin::nvenc
