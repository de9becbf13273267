// HEVC (API 12.0): 8 bits, the main profile in 4:2:0 and the format range extensions in 4:4:4 (lossless
// included, which the lossless tuning and the constant quantiser 0 make), parameter sets before every
// IDR picture, no signal type in the VUI, one slice per picture, IDR pictures only when asked for.
#include "codec.h"

namespace tevu::nvenc {
namespace {

class Hevc final : public Codec {
public:
    const char* encoding() const override { return "h265"; }
    const char* name() const override { return "HEVC"; }
    const GUID& guid() const override { return NV_ENC_CODEC_HEVC_GUID; }
    const GUID* profile(bool yuv444) const override {
        return yuv444 ? &NV_ENC_HEVC_PROFILE_FREXT_GUID : &NV_ENC_HEVC_PROFILE_MAIN_GUID;
    }
    int max_quantiser() const override { return 51; }

    void set_session_config(NV_ENC_CONFIG& config, bool yuv444) const override {
        NV_ENC_CONFIG_HEVC& hevc = config.encodeCodecConfig.hevcConfig;
        hevc.hevcVUIParameters.videoSignalTypePresentFlag = 0;
        hevc.hevcVUIParameters.colourDescriptionPresentFlag = 0;
        hevc.chromaFormatIDC = yuv444 ? NVENC_CHROMA_FORMAT_IDC_444 : NVENC_CHROMA_FORMAT_IDC_420;
        hevc.pixelBitDepthMinus8 = 0;
        hevc.idrPeriod = NVENC_INFINITE_GOPLENGTH;
        hevc.repeatSPSPPS = 1;
        hevc.sliceMode = 0;
        hevc.sliceModeData = 0;
    }

    void set_lossless(NV_ENC_CONFIG&) const override {}  // the tuning and the quantiser 0 are all it takes

    void set_picture(NV_ENC_PIC_PARAMS& picture, uint32_t frame, bool key) const override {
        set_slice_picture(picture.codecPicParams.hevcPicParams, frame, key);
    }
};

}  // namespace

const Codec& h265_codec() {
    static const Hevc codec;
    return codec;
}

}  // namespace tevu::nvenc
