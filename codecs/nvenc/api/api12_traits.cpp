// The API-12.0 build (tevu.codecs.nvenc12.encoder), for the drivers from 520 on, those from 590 on
// included: the P1-P7 presets asked for with a tuning, lossless as a tuning, a session rate control of its
// own (a variable bitrate within the quality's quantiser range, or the constant quantiser 0), bitrate
// changes brought into the running session, and the driver's own text for a failed call.
#include "api_traits.h"
#include "rate_control.h"
#include "tables.h"

namespace tevu::nvenc {
namespace {

const GuidName kCodecs[] = {
    {&NV_ENC_CODEC_H264_GUID, nullptr, "H264"},
    {&NV_ENC_CODEC_HEVC_GUID, nullptr, "HEVC"},
    {&NV_ENC_CODEC_AV1_GUID, nullptr, "AV1"},
};
const GuidName kH264Profiles[] = {
    {&NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID, nullptr, "auto"},
    {&NV_ENC_H264_PROFILE_BASELINE_GUID, nullptr, "baseline"},
    {&NV_ENC_H264_PROFILE_MAIN_GUID, nullptr, "main"},
    {&NV_ENC_H264_PROFILE_HIGH_GUID, nullptr, "high"},
    {&NV_ENC_H264_PROFILE_HIGH_444_GUID, nullptr, "high-444"},
    {&NV_ENC_H264_PROFILE_STEREO_GUID, nullptr, "stereo"},
    {&NV_ENC_H264_PROFILE_PROGRESSIVE_HIGH_GUID, nullptr, "progressive-high"},
    {&NV_ENC_H264_PROFILE_CONSTRAINED_HIGH_GUID, nullptr, "constrained-high"},
};
const GuidName kHevcProfiles[] = {
    {&NV_ENC_HEVC_PROFILE_MAIN_GUID, nullptr, "main"},
    {&NV_ENC_HEVC_PROFILE_MAIN10_GUID, nullptr, "main10"},
    {&NV_ENC_HEVC_PROFILE_FREXT_GUID, nullptr, "frext"},
};
const GuidName kAv1Profiles[] = {
    {&NV_ENC_AV1_PROFILE_MAIN_GUID, nullptr, "main"},
};
const GuidName kPresets[] = {
    {&NV_ENC_PRESET_P1_GUID, nullptr, "p1"}, {&NV_ENC_PRESET_P2_GUID, nullptr, "p2"},
    {&NV_ENC_PRESET_P3_GUID, nullptr, "p3"}, {&NV_ENC_PRESET_P4_GUID, nullptr, "p4"},
    {&NV_ENC_PRESET_P5_GUID, nullptr, "p5"}, {&NV_ENC_PRESET_P6_GUID, nullptr, "p6"},
    {&NV_ENC_PRESET_P7_GUID, nullptr, "p7"},
};
const PresetRank kPresetRanks[] = {
    {"p1", 100, 0}, {"p2", 85, 15}, {"p3", 70, 30}, {"p4", 50, 50},
    {"p5", 35, 65}, {"p6", 15, 85}, {"p7", 0, 100},
};
const char* const kYuv444Presets[] = {"high-444"};
const NumberName kBufferFormats[] = {
    {0x0, "UNDEFINED"},         {0x1, "NV12"},           {0x10, "YV12"},          {0x100, "IYUV"},
    {0x1000, "YUV444"},         {0x10000, "YUV420_10BIT"}, {0x100000, "YUV444_10BIT"},
    {0x1000000, "ARGB"},        {0x2000000, "ARGB10"},   {0x4000000, "AYUV"},     {0x10000000, "ABGR"},
    {0x20000000, "ABGR10"},     {0x40000000, "U8"},
};
const NumberName kTunings[] = {
    {NV_ENC_TUNING_INFO_HIGH_QUALITY, "high-quality"},
    {NV_ENC_TUNING_INFO_LOW_LATENCY, "low-latency"},
    {NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY, "ultra-low-latency"},
    {NV_ENC_TUNING_INFO_LOSSLESS, "lossless"},
};

}  // namespace

Table<GuidName> codec_guids() { return table_of(kCodecs); }
Table<GuidName> profile_guids(const std::string& codec) {
    if (codec == "H264") return table_of(kH264Profiles);
    if (codec == "HEVC") return table_of(kHevcProfiles);
    if (codec == "AV1") return table_of(kAv1Profiles);
    return {nullptr, 0};
}
Table<GuidName> preset_guids() { return table_of(kPresets); }
Table<PresetRank> preset_ranks() { return table_of(kPresetRanks); }
Table<const char*> yuv444_presets() { return table_of(kYuv444Presets); }
Table<const char*> lossless_presets() { return {nullptr, 0}; }  // lossless is a tuning
Table<NumberName> buffer_formats() { return table_of(kBufferFormats); }
Table<NumberName> tuning_names() { return table_of(kTunings); }

namespace api {

static_assert(TEVU_NVENC_API_VERSION == 0xC0, "api12_traits.cpp belongs to the build with API 0xC0");

const uint32_t kVersion = NVENC_API_V12;
const char* const kModuleName = "tevu.codecs.nvenc12.encoder";

// No driver that speaks API 12.0 supports a GPU older than compute capability 5.0.
const int kMinCompute = 0x50;
const bool kMinComputeAttribute = true;
const char* const kCounterImportedFrom = nullptr;  // it imports nothing of the other builds
// Ranked before the other builds by a host that loads several.
const SpecQuality kSpecQuality = {90, 10};

namespace {
const NumberName kOwnCapsNames[] = {
    {9, "SUPPORT_STEREO_MVC"},
    {32, "MB_PER_SEC_MAX"},
    {35, "SUPPORT_SAO"},
    {36, "SUPPORT_MEONLY_MODE"},
    {37, "SUPPORT_LOOKAHEAD"},
    {38, "SUPPORT_TEMPORAL_AQ"},
    {39, "SUPPORT_10BIT_ENCODE"},
    {40, "NUM_MAX_LTR_FRAMES"},
    {41, "SUPPORT_WEIGHTED_PREDICTION"},
    {42, "DYNAMIC_QUERY_ENCODER_CAPACITY"},
    {43, "SUPPORT_BFRAME_REF_MODE"},
    {44, "SUPPORT_EMPHASIS_LEVEL_MAP"},
    {45, "WIDTH_MIN"},
    {46, "HEIGHT_MIN"},
    {47, "SUPPORT_MULTIPLE_REF_FRAMES"},
    {48, "SUPPORT_ALPHA_LAYER_ENCODING"},
    {49, "NUM_ENCODER_ENGINES"},
    {50, "SINGLE_SLICE_INTRA_REFRESH"},
    {51, "EXPOSED_COUNT"},
};
}  // namespace

Table<NumberName> own_caps_names() { return table_of(kOwnCapsNames); }

std::string no_colorspaces_message(const std::string& encoding) {
    return "cannot use NVENC: no colorspaces available for " + encoding;
}

const TestEncoderRules kTestEncoderRules = {true, "error initializing a test context: %s", nullptr};

// Lossless: the constant quantiser 0 with what the codec needs besides, in one pass. Otherwise a variable bitrate
// within the quality's quantiser range; the preset's passes, buffer and lookahead stay.
void set_session_rate_control(NV_ENC_CONFIG& config, const RateTargets& targets, bool lossless, const Codec& codec) {
    NV_ENC_RC_PARAMS& rc = config.rcParams;
    if (!lossless) {
        apply_rate_control(rc, targets, false, session_quantisers(targets.quality));
        return;
    }
    rc.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    rc.constQP = {0, 0, 0};
    rc.multiPass = NV_ENC_MULTI_PASS_DISABLED;
    codec.set_lossless(config);
}
void set_picture_rate_control(NV_ENC_PIC_PARAMS&, const RateTargets&) {}

const uint32_t kOldestDriverApi = NVENC_API_V12;
const bool kTunedPresets = true;
const bool kDriverMessages = true;
const bool kLiveBitrate = true;
const bool kModernPresetsHint = false;
const NV_ENC_MEMORY_HEAP kBitstreamHeap = NV_ENC_MEMORY_HEAP_AUTOSELECT;  // deprecated: left 0
const FrameRate kFrameRate = {30, 1};  // the rate control divides the bitrate by it
// Every driver this module can run on (520 and later) is newer than the host's blacklist knows; the
// library's API check proves it.
const char* const kRecommendedDrivers = nullptr;

uint32_t choose_tuning(int speed, bool lossless, uint32_t desired) {
    if (lossless) return NV_ENC_TUNING_INFO_LOSSLESS;
    if (desired != NV_ENC_TUNING_INFO_UNDEFINED) return desired;
    return speed >= 70 ? NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY : NV_ENC_TUNING_INFO_LOW_LATENCY;
}

void set_session_extras(NV_ENC_INITIALIZE_PARAMS& params, NV_ENC_CONFIG& config, uint32_t tuning, const GUID* profile) {
    params.tuningInfo = static_cast<NV_ENC_TUNING_INFO>(tuning);
    if (profile) config.profileGUID = *profile;
}

const char* const kBitstreamLockedLine = "compress_image(..) output buffer locked, bitstreamBufferPtr=%#x";
const EncodedLine kEncodedLine = {"compress_image(..) encoded in %.1f ms", false};

}  // namespace api
}  // namespace tevu::nvenc
