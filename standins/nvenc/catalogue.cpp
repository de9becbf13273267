#include "catalogue.h"

#include <algorithm>
#include <cstdio>

namespace tevu::standin::nvenc {
namespace {

// A preset of our own that clients do not know, offered when NVENC_EMU_EXTRA_PRESET=1.
constexpr GUID kExtraPresetGuid = {0x5A0C1E77, 0x3B1D, 0x4E52, {0x9C, 0x0B, 0x71, 0x2D, 0xE4, 0x8A, 0x19, 0x66}};
constexpr uint32_t kGop = 30;
constexpr uint32_t kTunedGop = 250;
// The bitrates of a tuned preset's configuration, in bits per second (clients set their own).
constexpr uint32_t kTunedBitrate = 4000000;
constexpr uint32_t kTunedPeakBitrate = 8000000;
// The capabilities API 4.0/5.0 numbers (0 to 35, the count) and API 12.0's (0 to 51).
constexpr int kCapabilityCountV5 = 35;
constexpr int kCapabilityCountV12 = 51;

const std::vector<Preset>& h264_presets() {
    static const std::vector<Preset> list = {
        {NV_ENC_PRESET_DEFAULT_GUID, "superfast", {24, 26, 22}, kGop, false, false},
        {NV_ENC_PRESET_HP_GUID, "ultrafast", {27, 29, 25}, kGop, false, false},
        {NV_ENC_PRESET_HQ_GUID, "veryfast", {22, 24, 20}, kGop, false, false},
        {NV_ENC_PRESET_BD_GUID, "faster", {20, 22, 18}, kGop, false, false},
        {NV_ENC_PRESET_LOW_LATENCY_DEFAULT_GUID, "superfast", {25, 27, 23}, NVENC_INFINITE_GOPLENGTH, false, false},
        {NV_ENC_PRESET_LOW_LATENCY_HQ_GUID, "veryfast", {23, 25, 21}, NVENC_INFINITE_GOPLENGTH, false, false},
        {NV_ENC_PRESET_LOW_LATENCY_HP_GUID, "ultrafast", {28, 30, 26}, NVENC_INFINITE_GOPLENGTH, false, false},
        {NVENC_PRESET_STREAMING_GUID, "superfast", {26, 28, 24}, NVENC_INFINITE_GOPLENGTH, false, false},
        {NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID, "superfast", {0, 0, 0}, kGop, true, false},
        {NV_ENC_PRESET_LOSSLESS_HP_GUID, "ultrafast", {0, 0, 0}, kGop, true, false},
    };
    return list;
}

// P1 (fastest) to P7 (best): libx264's speed presets in the same order.
const std::vector<Preset>& tuned_presets() {
    static const std::vector<Preset> list = {
        {NV_ENC_PRESET_P1_GUID, "ultrafast", {28, 30, 26}, kTunedGop, false, true},
        {NV_ENC_PRESET_P2_GUID, "superfast", {27, 29, 25}, kTunedGop, false, true},
        {NV_ENC_PRESET_P3_GUID, "veryfast", {26, 28, 24}, kTunedGop, false, true},
        {NV_ENC_PRESET_P4_GUID, "faster", {25, 27, 23}, kTunedGop, false, true},
        {NV_ENC_PRESET_P5_GUID, "fast", {24, 26, 22}, kTunedGop, false, true},
        {NV_ENC_PRESET_P6_GUID, "medium", {23, 25, 21}, kTunedGop, false, true},
        {NV_ENC_PRESET_P7_GUID, "slow", {22, 24, 20}, kTunedGop, false, true},
    };
    return list;
}

const Preset kExtraPreset = {kExtraPresetGuid, "superfast", {25, 27, 23}, kGop, false, false};

// The rate control and stream structure that a tuning gives a tuned preset's configuration (lossless: the
// constant quantiser; its H.264 settings are the caller's).
void apply_tuning(NV_ENC_CONFIG& c, NV_ENC_TUNING_INFO tuning) {
    NV_ENC_RC_PARAMS& rc = c.rcParams;
    rc.multiPass = NV_ENC_MULTI_PASS_DISABLED;
    switch (tuning) {
    case NV_ENC_TUNING_INFO_LOW_LATENCY:
    case NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY:
        rc.rateControlMode = NV_ENC_PARAMS_RC_CBR;
        rc.averageBitRate = rc.maxBitRate = kTunedBitrate;
        c.gopLength = NVENC_INFINITE_GOPLENGTH;
        break;
    case NV_ENC_TUNING_INFO_LOSSLESS:
        rc.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
        rc.constQP = {0, 0, 0};
        break;
    case NV_ENC_TUNING_INFO_HIGH_QUALITY:
    case NV_ENC_TUNING_INFO_UNDEFINED:
        rc.rateControlMode = NV_ENC_PARAMS_RC_VBR;
        rc.averageBitRate = kTunedBitrate;
        rc.maxBitRate = kTunedPeakBitrate;
        break;
    }
}

int default_capability(NV_ENC_CAPS cap) {
    switch (cap) {
    case NV_ENC_CAPS_SUPPORTED_RATECONTROL_MODES:
        return NV_ENC_PARAMS_RC_VBR | NV_ENC_PARAMS_RC_CBR | NV_ENC_PARAMS_RC_VBR_MINQP;
    case NV_ENC_CAPS_SUPPORT_QPELMV:
    case NV_ENC_CAPS_SUPPORT_CABAC:
    case NV_ENC_CAPS_SUPPORT_ADAPTIVE_TRANSFORM:
    case NV_ENC_CAPS_SUPPORT_CUSTOM_VBV_BUF_SIZE:
    case NV_ENC_CAPS_SUPPORT_YUV444_ENCODE:
    case NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE:
        return 1;
    case NV_ENC_CAPS_LEVEL_MAX: return NV_ENC_LEVEL_H264_51;
    case NV_ENC_CAPS_LEVEL_MIN: return NV_ENC_LEVEL_H264_1;
    case NV_ENC_CAPS_WIDTH_MAX:
    case NV_ENC_CAPS_HEIGHT_MAX:
        return 4096;
    case NV_ENC_CAPS_MB_NUM_MAX: return (4096 / 16) * (4096 / 16);
    case NV_ENC_CAPS_WIDTH_MIN:
    case NV_ENC_CAPS_HEIGHT_MIN:
        return 2;
    case NV_ENC_CAPS_NUM_ENCODER_ENGINES: return 1;
    default: return 0;  // B frames, fields, SVC, intra refresh, asynchronous mode, ...: not offered
    }
}

int capability_count(uint32_t api) { return api >= NVENC_API_V12 ? kCapabilityCountV12 : kCapabilityCountV5; }

}  // namespace

std::string guid_text(const GUID& g) {
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::vector<Codec> all_codecs() { return {Codec::H264, Codec::Hevc, Codec::Av1}; }

GUID guid_of(Codec codec) {
    switch (codec) {
    case Codec::Hevc: return NV_ENC_CODEC_HEVC_GUID;
    case Codec::Av1: return NV_ENC_CODEC_AV1_GUID;
    case Codec::H264: break;
    }
    return NV_ENC_CODEC_H264_GUID;
}

std::optional<Codec> codec_of(const GUID& guid) {
    for (Codec codec : all_codecs())
        if (nvenc_same_guid(guid, guid_of(codec)))
            return codec;
    return std::nullopt;
}

const char* codec_name(Codec codec) {
    switch (codec) {
    case Codec::Hevc: return "hevc";
    case Codec::Av1: return "av1";
    case Codec::H264: break;
    }
    return "h264";
}

std::optional<Codec> codec_named(std::string_view name) {
    for (Codec codec : all_codecs())
        if (name == codec_name(codec))
            return codec;
    return std::nullopt;
}

std::vector<GUID> profile_guids(Codec codec) {
    switch (codec) {
    case Codec::Hevc: return {NV_ENC_HEVC_PROFILE_MAIN_GUID, NV_ENC_HEVC_PROFILE_MAIN10_GUID, NV_ENC_HEVC_PROFILE_FREXT_GUID};
    case Codec::Av1: return {NV_ENC_AV1_PROFILE_MAIN_GUID};
    case Codec::H264: break;
    }
    return {NV_ENC_H264_PROFILE_BASELINE_GUID, NV_ENC_H264_PROFILE_MAIN_GUID, NV_ENC_H264_PROFILE_HIGH_GUID,
            NV_ENC_H264_PROFILE_HIGH_444_GUID};
}

std::optional<int> CapabilityOverrides::find(Codec codec, int cap) const {
    const auto own = per_codec.find(codec);
    if (own != per_codec.end()) {
        const auto it = own->second.find(cap);
        if (it != own->second.end())
            return it->second;
    }
    const auto it = every_codec.find(cap);
    return it == every_codec.end() ? std::nullopt : std::optional<int>(it->second);
}

bool Offer::encodes(Codec codec) const {
    const std::vector<Codec> listed = codecs();
    return (api >= NVENC_API_V12 || codec == Codec::H264) &&
           std::find(listed.begin(), listed.end(), codec) != listed.end();
}

std::vector<Codec> Offer::codecs() const {
    std::vector<Codec> list;
    for (Codec codec : all_codecs()) {
        const bool on_device = std::find(device_codecs.begin(), device_codecs.end(), codec) != device_codecs.end();
        const bool offered = api >= NVENC_API_V12 ? codec_built(codec) : codec != Codec::Av1;
        if (on_device && offered)
            list.push_back(codec);
    }
    return list;
}

int Offer::capability(NV_ENC_CAPS cap, Codec codec) const {
    if (const std::optional<int> value = capability_overrides.find(codec, cap))
        return *value;
    // NVENC encodes AV1 in 4:2:0 only, and never lossless.
    if (codec == Codec::Av1 && (cap == NV_ENC_CAPS_SUPPORT_YUV444_ENCODE || cap == NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE))
        return 0;
    if (cap == capability_count(api))
        return cap;  // the count, the last number of each API
    if (cap == NV_ENC_CAPS_SUPPORTED_RATECONTROL_MODES && current_presets())
        return NV_ENC_PARAMS_RC_VBR | NV_ENC_PARAMS_RC_CBR;
    if ((cap == NV_ENC_CAPS_SUPPORT_DYN_BITRATE_CHANGE || cap == NV_ENC_CAPS_SUPPORT_DYN_RCMODE_CHANGE) &&
        api >= NVENC_API_V12)
        return 1;
    return default_capability(cap);
}

std::optional<int> capability_value(const Offer& offer, int cap, Codec codec) {
    if (cap < 0 || cap > capability_count(offer.api))
        return std::nullopt;
    return offer.capability(static_cast<NV_ENC_CAPS>(cap), codec);
}

std::vector<NV_ENC_BUFFER_FORMAT> input_formats(const Offer& offer, Codec codec) {
    if (offer.yuv444(codec))
        return {NV_ENC_BUFFER_FORMAT_NV12_PL, NV_ENC_BUFFER_FORMAT_YUV444_PL};
    return {NV_ENC_BUFFER_FORMAT_NV12_PL};
}

std::vector<Preset> presets(const Offer& offer, Codec codec) {
    std::vector<Preset> list;
    for (const Preset& p : offer.current_presets() ? tuned_presets() : h264_presets())
        if (!p.lossless || (codec == Codec::H264 && offer.lossless(codec)))
            list.push_back(p);
    if (offer.extra_preset)
        list.push_back(kExtraPreset);
    return list;
}

std::optional<Preset> find_preset(const Offer& offer, Codec codec, const GUID& guid) {
    for (const Preset& p : presets(offer, codec))
        if (nvenc_same_guid(p.guid, guid))
            return p;
    return std::nullopt;
}

bool known_tuning(uint32_t tuning) {
    return tuning >= NV_ENC_TUNING_INFO_HIGH_QUALITY && tuning <= NV_ENC_TUNING_INFO_LOSSLESS;
}

bool tuning_offered(const Offer& offer, Codec codec, NV_ENC_TUNING_INFO tuning) {
    if (tuning == NV_ENC_TUNING_INFO_LOSSLESS)
        return offer.lossless(codec);
    return known_tuning(tuning);
}

NV_ENC_CONFIG preset_configuration(Codec codec, const Preset& preset, uint32_t api, NV_ENC_TUNING_INFO tuning) {
    NV_ENC_CONFIG c{};
    c.version = nvenc_struct_version<NV_ENC_CONFIG>(api);
    c.profileGUID = NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID;
    c.gopLength = preset.gop_length;
    c.frameIntervalP = 1;
    c.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
    c.mvPrecision = NV_ENC_MV_PRECISION_QUARTER_PEL;
    c.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    c.rcParams.constQP = {static_cast<uint32_t>(preset.qp.inter_p), static_cast<uint32_t>(preset.qp.inter_b),
                          static_cast<uint32_t>(preset.qp.intra)};
    if (api >= NVENC_API_V12)
        c.rcParams.version = nvenc_struct_version<NV_ENC_RC_PARAMS>(api);
    if (preset.tuned)
        apply_tuning(c, tuning);
    const bool lossless = preset.lossless || (preset.tuned && tuning == NV_ENC_TUNING_INFO_LOSSLESS);
    if (codec == Codec::Av1) {
        constexpr uint32_t kAv1QpScale = 5;  // AV1's quantisers run from 0 to 255
        c.rcParams.constQP = {c.rcParams.constQP.qpInterP * kAv1QpScale, c.rcParams.constQP.qpInterB * kAv1QpScale,
                              c.rcParams.constQP.qpIntra * kAv1QpScale};
        NV_ENC_CONFIG_AV1& a = c.encodeCodecConfig.av1Config;
        a.idrPeriod = c.gopLength;
        a.chromaFormatIDC = NVENC_CHROMA_FORMAT_IDC_420;
        a.maxNumRefFramesInDPB = 1;
        a.repeatSeqHdr = 1;
        return c;
    }
    if (codec == Codec::Hevc) {
        NV_ENC_CONFIG_HEVC& h = c.encodeCodecConfig.hevcConfig;
        h.idrPeriod = c.gopLength;
        h.chromaFormatIDC = lossless ? NVENC_CHROMA_FORMAT_IDC_444 : NVENC_CHROMA_FORMAT_IDC_420;
        h.maxNumRefFramesInDPB = 1;
        if (lossless)
            c.profileGUID = NV_ENC_HEVC_PROFILE_FREXT_GUID;
        return c;
    }
    NV_ENC_CONFIG_H264& h = c.encodeCodecConfig.h264Config;
    h.idrPeriod = c.gopLength;
    h.chromaFormatIDC = NVENC_CHROMA_FORMAT_IDC_420;
    h.maxNumRefFrames = 1;
    h.sliceMode = NVENC_SLICE_MODE_COUNT;
    h.sliceModeData = 1;
    h.qpPrimeYZeroTransformBypassFlag = lossless ? 1 : 0;
    if (preset.tuned && lossless) {
        c.profileGUID = NV_ENC_H264_PROFILE_HIGH_444_GUID;
        h.chromaFormatIDC = NVENC_CHROMA_FORMAT_IDC_444;
    }
    return c;
}

}  // namespace tevu::standin::nvenc
