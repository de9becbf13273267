// AV1 (API 12.0): 8-bit 4:2:0 in the main profile only (neither 4:4:4 nor lossless), quantisers on the
// scale 0..255, one temporal unit per picture in the low-overhead format with the sequence header before
// every key frame, the driver's tiles, no colour description (as the H.264 VUI), key frames only when
// asked for.
#include "codec.h"

namespace tevu::nvenc {
namespace {

constexpr uint32_t kUnspecified = 2;  // colour primaries, transfer and matrix: unspecified

class Av1 final : public Codec {
public:
    const char* encoding() const override { return "av1"; }
    const char* name() const override { return "AV1"; }
    const GUID& guid() const override { return NV_ENC_CODEC_AV1_GUID; }
    const GUID* profile(bool) const override { return &NV_ENC_AV1_PROFILE_MAIN_GUID; }
    int max_quantiser() const override { return 255; }
    int min_lossy_quantiser() const override { return 1; }  // the quantiser index 0 is lossless
    bool has_yuv444() const override { return false; }

    void set_session_config(NV_ENC_CONFIG& config, bool) const override {
        NV_ENC_CONFIG_AV1& av1 = config.encodeCodecConfig.av1Config;
        av1.chromaFormatIDC = NVENC_CHROMA_FORMAT_IDC_420;
        av1.inputPixelBitDepthMinus8 = 0;
        av1.pixelBitDepthMinus8 = 0;
        av1.idrPeriod = NVENC_INFINITE_GOPLENGTH;
        av1.repeatSeqHdr = 1;
        av1.outputAnnexBFormat = 0;
        av1.numTileColumns = 0;
        av1.numTileRows = 0;
        av1.colorPrimaries = kUnspecified;
        av1.transferCharacteristics = kUnspecified;
        av1.matrixCoefficients = kUnspecified;
        av1.colorRange = 0;
    }

    void set_lossless(NV_ENC_CONFIG&) const override {}  // never asked: AV1 has no lossless mode here

    void set_picture(NV_ENC_PIC_PARAMS& picture, uint32_t frame, bool key) const override {
        NV_ENC_PIC_PARAMS_AV1& av1 = picture.codecPicParams.av1PicParams;
        av1.displayPOCSyntax = 2 * frame;
        av1.refPicFlag = key ? 1 : 0;
    }
};

}  // namespace

const Codec& av1_codec() {
    static const Av1 codec;
    return codec;
}

}  // namespace tevu::nvenc
