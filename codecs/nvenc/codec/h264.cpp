// H.264, the codec of every API build: a 4:4:4 stream in the high-444 profile (a 4:2:0 one keeps the
// preset's), no signal type in the VUI, one slice per picture, and the transform bypass for lossless.
#include "codec.h"

namespace tevu::nvenc {
namespace {

class H264 final : public Codec {
public:
    const char* encoding() const override { return "h264"; }
    const char* name() const override { return "H264"; }
    const GUID& guid() const override { return NV_ENC_CODEC_H264_GUID; }
    const GUID* profile(bool yuv444) const override { return yuv444 ? &NV_ENC_H264_PROFILE_HIGH_444_GUID : nullptr; }
    int max_quantiser() const override { return 51; }

    void set_session_config(NV_ENC_CONFIG& config, bool yuv444) const override {
        NV_ENC_CONFIG_H264& h264 = config.encodeCodecConfig.h264Config;
        h264.h264VUIParameters.videoSignalTypePresentFlag = 0;
        h264.h264VUIParameters.colourDescriptionPresentFlag = 0;
        h264.chromaFormatIDC = yuv444 ? NVENC_CHROMA_FORMAT_IDC_444 : NVENC_CHROMA_FORMAT_IDC_420;
    }

    void set_lossless(NV_ENC_CONFIG& config) const override {
        config.encodeCodecConfig.h264Config.qpPrimeYZeroTransformBypassFlag = 1;
    }

    void set_picture(NV_ENC_PIC_PARAMS& picture, uint32_t frame, bool key) const override {
        set_slice_picture(picture.codecPicParams.h264PicParams, frame, key);
    }
};

}  // namespace

const Codec& h264_codec() {
    static const H264 codec;
    return codec;
}

}  // namespace tevu::nvenc
