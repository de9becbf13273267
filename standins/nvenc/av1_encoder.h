// AV1 encoding of NV12 pictures with libaom in its real-time mode: one picture in, one temporal unit out in
// the low-overhead OBU format (a temporal delimiter, the sequence header before every key frame, the frame).
//
// Why libaom and not SVT-AV1 (Debian's libaom 3.6 and SVT-AV1 1.4.1, measured at 1920x1080 on one
// thread): libaom at speed 10 took 34 to 54 ms a picture, SVT-AV1's fastest preset (13) 39 ms; but
// SVT-AV1's low-delay structure still held three pictures back (37 temporal units out of 40 pictures
// sent), forced key frames only in its random-access mode, and had no bitrate change within the stream,
// while libaom gives every picture back from the call that takes it, forces key frames anywhere and
// changes bitrates in place.
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
};

}  // namespace tevu::standin::nvenc
