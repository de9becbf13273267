#include "configuration.h"

namespace tevu::standin::nvenc {
namespace {

constexpr uint32_t kLargestSide = 4096;

// The profile of a GUID; none for one the codec's encoder does not offer (HEVC main10: 8 bits only).
std::optional<Profile> profile_of(Codec codec, const GUID& guid) {
    const GUID zero{};
    if (nvenc_same_guid(guid, zero) || nvenc_same_guid(guid, NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID))
        return Profile::Auto;
    if (codec == Codec::Hevc)  // the chroma format chooses between main and 4:4:4
        return nvenc_same_guid(guid, NV_ENC_HEVC_PROFILE_MAIN_GUID) || nvenc_same_guid(guid, NV_ENC_HEVC_PROFILE_FREXT_GUID)
                   ? std::optional<Profile>(Profile::Auto)
                   : std::nullopt;
    if (codec == Codec::Av1)
        return nvenc_same_guid(guid, NV_ENC_AV1_PROFILE_MAIN_GUID) ? std::optional<Profile>(Profile::Auto) : std::nullopt;
    if (nvenc_same_guid(guid, NV_ENC_H264_PROFILE_BASELINE_GUID))
        return Profile::Baseline;
    if (nvenc_same_guid(guid, NV_ENC_H264_PROFILE_MAIN_GUID))
        return Profile::Main;
    if (nvenc_same_guid(guid, NV_ENC_H264_PROFILE_HIGH_GUID))
        return Profile::High;
    if (nvenc_same_guid(guid, NV_ENC_H264_PROFILE_HIGH_444_GUID))
        return Profile::High444;
    return std::nullopt;
}

// AV1's colour description: present when any of its values is set.
ColourSignal colour_of(const NV_ENC_CONFIG_AV1& a) {
    ColourSignal c;
    c.signal_type_present = a.colorRange != 0;
    c.full_range = a.colorRange != 0;
    c.colour_description_present = a.colorPrimaries || a.transferCharacteristics || a.matrixCoefficients;
    c.primaries = static_cast<int>(a.colorPrimaries);
    c.transfer = static_cast<int>(a.transferCharacteristics);
    c.matrix = static_cast<int>(a.matrixCoefficients);
    return c;
}

ColourSignal colour_of(const NV_ENC_CONFIG_H264_VUI_PARAMETERS& vui) {
    ColourSignal c;
    c.signal_type_present = vui.videoSignalTypePresentFlag != 0;
    c.video_format = static_cast<int>(vui.videoFormat);
    c.full_range = vui.videoFullRangeFlag != 0;
    c.colour_description_present = vui.colourDescriptionPresentFlag != 0;
    c.primaries = static_cast<int>(vui.colourPrimaries);
    c.transfer = static_cast<int>(vui.transferCharacteristics);
    c.matrix = static_cast<int>(vui.colourMatrix);
    return c;
}

Translation refuse(NVENCSTATUS status, const char* reason) {
    Translation t;
    t.status = status;
    t.reason = reason;
    return t;
}

bool current_rate_mode(uint32_t mode) {
    return mode == NV_ENC_PARAMS_RC_CONSTQP || mode == NV_ENC_PARAMS_RC_VBR || mode == NV_ENC_PARAMS_RC_CBR;
}

// The tuning of a tuned preset; none needed for the others.
Translation check_tuning(const NV_ENC_INITIALIZE_PARAMS& p, const CodecFields& fields, const Preset& preset) {
    if (!preset.tuned)
        return {};
    if (p.tuningInfo == NV_ENC_TUNING_INFO_UNDEFINED)
        return refuse(NV_ENC_ERR_INVALID_PARAM, "the preset needs a tuning: tuningInfo is 0 (undefined)");
    if (!known_tuning(p.tuningInfo))
        return refuse(NV_ENC_ERR_INVALID_PARAM, "unknown tuningInfo");
    if (p.tuningInfo == NV_ENC_TUNING_INFO_LOSSLESS && fields.chroma_format_idc != NVENC_CHROMA_FORMAT_IDC_444)
        return refuse(NV_ENC_ERR_INVALID_PARAM, "the lossless tuning encodes 4:4:4 only");
    return {};
}

}  // namespace

CodecFields codec_fields(Codec codec, const NV_ENC_CONFIG& config, uint32_t tuning) {
    CodecFields f;
    if (codec == Codec::Av1) {
        const NV_ENC_CONFIG_AV1& a = config.encodeCodecConfig.av1Config;
        f.chroma_format_idc = a.chromaFormatIDC;
        f.repeat_parameter_sets = a.repeatSeqHdr != 0;
        f.reference_frames = a.maxNumRefFramesInDPB;
        f.colour = colour_of(a);
        f.beyond_offer = a.inputPixelBitDepthMinus8 || a.pixelBitDepthMinus8 || a.maxTemporalLayersMinus1;
        return f;
    }
    if (codec == Codec::Hevc) {
        const NV_ENC_CONFIG_HEVC& h = config.encodeCodecConfig.hevcConfig;
        f.chroma_format_idc = h.chromaFormatIDC;
        f.transform_bypass = tuning == NV_ENC_TUNING_INFO_LOSSLESS;
        f.repeat_parameter_sets = h.repeatSPSPPS != 0;
        f.without_parameter_sets = h.disableSPSPPS != 0;
        f.reference_frames = h.maxNumRefFramesInDPB;
        f.colour = colour_of(h.hevcVUIParameters);
        f.beyond_offer = h.pixelBitDepthMinus8 || h.maxTemporalLayersMinus1;
        return f;
    }
    const NV_ENC_CONFIG_H264& h = config.encodeCodecConfig.h264Config;
    f.chroma_format_idc = h.chromaFormatIDC;
    f.transform_bypass = h.qpPrimeYZeroTransformBypassFlag != 0;
    f.repeat_parameter_sets = h.repeatSPSPPS != 0;
    f.without_parameter_sets = h.disableSPSPPS != 0;
    f.reference_frames = h.maxNumRefFrames;
    f.entropy = h.entropyCodingMode == NV_ENC_H264_ENTROPY_CODING_MODE_CAVLC  ? EntropyCoding::Cavlc
                : h.entropyCodingMode == NV_ENC_H264_ENTROPY_CODING_MODE_CABAC ? EntropyCoding::Cabac
                                                                               : EntropyCoding::Auto;
    f.colour = colour_of(h.h264VUIParameters);
    f.beyond_offer = h.enableStereoMVC || h.enableTemporalSVC || h.separateColourPlaneFlag;
    return f;
}

QpRange qp_range_of(const NV_ENC_RC_PARAMS& rc) {
    QpRange r;
    r.min_enabled = rc.enableMinQP != 0;
    r.max_enabled = rc.enableMaxQP != 0;
    r.min_qp = static_cast<int>(rc.minQP.qpInterP);
    r.max_qp = static_cast<int>(rc.maxQP.qpInterP);
    return r;
}

std::optional<RateSettings> rate_of(const NV_ENC_RC_PARAMS& rc) {
    RateSettings r;
    switch (rc.rateControlMode) {
    case NV_ENC_PARAMS_RC_CONSTQP: r.mode = RateControl::ConstQp; break;
    case NV_ENC_PARAMS_RC_VBR:
    case NV_ENC_PARAMS_RC_VBR_MINQP: r.mode = RateControl::VariableBitrate; break;
    case NV_ENC_PARAMS_RC_CBR: r.mode = RateControl::ConstantBitrate; break;
    default: return std::nullopt;
    }
    r.const_qp = {static_cast<int>(rc.constQP.qpInterP), static_cast<int>(rc.constQP.qpInterB),
                  static_cast<int>(rc.constQP.qpIntra)};
    r.average_bitrate = rc.averageBitRate;
    r.max_bitrate = rc.maxBitRate;
    r.vbv_buffer_size = rc.vbvBufferSize;
    r.range = qp_range_of(rc);
    return r;
}

const char* rate_mode_name(uint32_t mode) {
    switch (mode) {
    case NV_ENC_PARAMS_RC_CONSTQP: return "constqp";
    case NV_ENC_PARAMS_RC_VBR: return "vbr";
    case NV_ENC_PARAMS_RC_CBR: return "cbr";
    case NV_ENC_PARAMS_RC_VBR_MINQP: return "vbr_minqp";
    case NV_ENC_PARAMS_RC_2_PASS_QUALITY: return "2pass_quality";
    case NV_ENC_PARAMS_RC_2_PASS_FRAMESIZE_CAP: return "2pass_framesize_cap";
    default: return "unknown";
    }
}

Translation translate(Codec codec, const NV_ENC_INITIALIZE_PARAMS& p, const NV_ENC_CONFIG& c,
                      const Preset& preset, const Offer& offer) {
    if (p.encodeWidth == 0 || p.encodeHeight == 0 || p.encodeWidth % 2 || p.encodeHeight % 2 ||
        p.encodeWidth > kLargestSide || p.encodeHeight > kLargestSide)
        return refuse(NV_ENC_ERR_INVALID_PARAM, "the picture size must be even, from 2 to 4096");
    if (p.enableEncodeAsync || c.frameIntervalP > 1 || p.enableMEOnlyMode)
        return refuse(NV_ENC_ERR_UNSUPPORTED_PARAM,
                      "asynchronous mode, B frames and motion estimation alone are not offered");
    if (c.frameFieldMode != 0 && c.frameFieldMode != NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME)
        return refuse(NV_ENC_ERR_UNSUPPORTED_PARAM, "field coding is not offered");
    const CodecFields fields = codec_fields(codec, c, p.tuningInfo);
    const Translation tuning = check_tuning(p, fields, preset);
    if (tuning.status != NV_ENC_SUCCESS)
        return tuning;
    if (offer.current_presets()) {
        if (!current_rate_mode(c.rcParams.rateControlMode))
            return refuse(NV_ENC_ERR_INVALID_PARAM,
                          "the rate-control mode is not one of API 12.0 (constant quantiser, VBR, CBR)");
        if (c.rcParams.multiPass > NV_ENC_TWO_PASS_FULL_RESOLUTION)
            return refuse(NV_ENC_ERR_INVALID_PARAM, "unknown multiPass");  // either pass count encodes once
    }
    const std::optional<RateSettings> rate = rate_of(c.rcParams);
    const std::optional<Profile> profile = profile_of(codec, c.profileGUID);
    if (!rate)
        return refuse(NV_ENC_ERR_UNSUPPORTED_PARAM, "the rate-control mode is not offered");
    if (!profile || fields.beyond_offer)
        return refuse(NV_ENC_ERR_UNSUPPORTED_PARAM,
                      "the profile, stereo, temporal layers, separate colour planes or more than 8 bits are not offered");

    Translation t;
    EncoderSettings& s = t.settings;
    s.width = static_cast<int>(p.encodeWidth);
    s.height = static_cast<int>(p.encodeHeight);
    switch (fields.chroma_format_idc) {
    case 0:
    case NVENC_CHROMA_FORMAT_IDC_420: s.chroma = ChromaFormat::Yuv420; break;
    case NVENC_CHROMA_FORMAT_IDC_444:
        if (!offer.yuv444(codec))
            return refuse(NV_ENC_ERR_UNSUPPORTED_PARAM, "4:4:4 is not offered");
        s.chroma = ChromaFormat::Yuv444;
        break;
    default: return refuse(NV_ENC_ERR_INVALID_PARAM, "unknown chromaFormatIDC");
    }
    s.profile = *profile;
    s.entropy = fields.entropy;
    s.rate = *rate;
    s.transform_bypass = fields.transform_bypass;
    if (s.lossless() && !offer.lossless(codec))
        return refuse(NV_ENC_ERR_UNSUPPORTED_PARAM, "lossless encoding is not offered");
    if (p.frameRateNum && p.frameRateDen) {
        s.fps_num = p.frameRateNum;
        s.fps_den = p.frameRateDen;
    }
    s.reference_frames = fields.reference_frames ? static_cast<int>(fields.reference_frames) : 1;
    if (p.enablePTD && c.gopLength != NVENC_INFINITE_GOPLENGTH)
        s.keyint = static_cast<int>(c.gopLength);
    s.repeat_parameter_sets = fields.repeat_parameter_sets;
    s.speed = preset.speed;
    s.colour = fields.colour;
    return t;
}

}  // namespace tevu::standin::nvenc
