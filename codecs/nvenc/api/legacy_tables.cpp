// What the API-4.0 and API-5.0 builds share, and the API-12.0 build does its own way (api12_traits.cpp):
// their vocabulary (codecs, H.264 profiles, presets and their ranks, buffer formats: tables.h), and the
// absence of API 12.0's features (api_traits.h).
#include "api_traits.h"
#include "tables.h"

namespace tevu::nvenc {
namespace {

const GuidName kCodecs[] = {
    {&NV_ENC_CODEC_H264_GUID, nullptr, "H264"},
    {&NV_ENC_CODEC_HEVC_GUID, nullptr, "HEVC"},
};

const GuidName kH264Profiles[] = {
    {&NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID, nullptr, "auto"},
    {&NV_ENC_H264_PROFILE_BASELINE_GUID, nullptr, "baseline"},
    {&NV_ENC_H264_PROFILE_MAIN_GUID, nullptr, "main"},
    {&NV_ENC_H264_PROFILE_HIGH_GUID, nullptr, "high"},
    {&NV_ENC_H264_PROFILE_STEREO_GUID, nullptr, "stereo"},
    {&NV_ENC_H264_PROFILE_SVC_TEMPORAL_SCALABILTY, nullptr, "temporal"},
    {&NV_ENC_H264_PROFILE_CONSTRAINED_HIGH_GUID, nullptr, "constrained-high"},
    {&NV_ENC_H264_PROFILE_HIGH_444_GUID, nullptr, "high-444"},
};

const GuidName kPresets[] = {
    {&NV_ENC_PRESET_DEFAULT_GUID, nullptr, "default"},
    {&NV_ENC_PRESET_HP_GUID, nullptr, "hp"},
    {&NV_ENC_PRESET_HQ_GUID, nullptr, "hq"},
    {&NV_ENC_PRESET_BD_GUID, nullptr, "bd"},
    {&NV_ENC_PRESET_LOW_LATENCY_DEFAULT_GUID, nullptr, "low-latency"},
    {&NV_ENC_PRESET_LOW_LATENCY_HQ_GUID, nullptr, "low-latency-hq"},
    {&NV_ENC_PRESET_LOW_LATENCY_HP_GUID, nullptr, "low-latency-hp"},
    {&NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID, nullptr, "lossless"},
    {&NV_ENC_PRESET_LOSSLESS_HP_GUID, nullptr, "lossless-hp"},
    {nullptr, "7ADD423D-D035-4F6F-AEA5-50885658643C", "streaming"},
};

const PresetRank kPresetRanks[] = {
    {"lossless", 0, 100},     {"lossless-hp", 30, 100},   {"bd", 40, 80},
    {"hq", 50, 70},           {"default", 50, 50},        {"hp", 60, 40},
    {"low-latency-hq", 70, 30}, {"low-latency", 80, 20},  {"low-latency-hp", 100, 0},
    {"streaming", -1000, -1000},
};

const char* const kYuv444Presets[] = {"high-444", "lossless", "lossless-hp"};
const char* const kLosslessPresets[] = {"lossless", "lossless-hp"};

const NumberName kBufferFormats[] = {
    {0x0, "undefined"},        {0x1, "NV12_PL"},          {0x2, "NV12_TILED16x16"},
    {0x3, "NV12_TILED64x16"},  {0x10, "YV12_PL"},         {0x20, "YV12_TILED16x16"},
    {0x30, "YV12_TILED64x16"}, {0x100, "IYUV_PL"},        {0x200, "IYUV_TILED16x16"},
    {0x300, "IYUV_TILED64x16"}, {0x1000, "YUV444_PL"},    {0x2000, "YUV444_TILED16x16"},
    {0x3000, "YUV444_TILED64x16"},
};

}  // namespace

Table<GuidName> codec_guids() { return table_of(kCodecs); }
Table<GuidName> profile_guids(const std::string& codec) {
    if (codec == "H264") return table_of(kH264Profiles);
    if (codec == "HEVC") return api::hevc_profile_guids();
    return {nullptr, 0};
}
Table<GuidName> preset_guids() { return table_of(kPresets); }
Table<PresetRank> preset_ranks() { return table_of(kPresetRanks); }
Table<const char*> yuv444_presets() { return table_of(kYuv444Presets); }
Table<const char*> lossless_presets() { return table_of(kLosslessPresets); }
Table<NumberName> buffer_formats() { return table_of(kBufferFormats); }
Table<NumberName> tuning_names() { return {nullptr, 0}; }

}  // namespace tevu::nvenc

namespace tevu::nvenc::api {

// What API 12.0 adds, none of it here.
const uint32_t kOldestDriverApi = 0;
const bool kTunedPresets = false;
const bool kDriverMessages = false;
const bool kLiveBitrate = false;
const bool kModernPresetsHint = true;
const NV_ENC_MEMORY_HEAP kBitstreamHeap = NV_ENC_MEMORY_HEAP_SYSMEM_CACHED;
const FrameRate kFrameRate = {1, 30};
const char* const kRecommendedDrivers = " recommended driver versions: up to 350 only";
uint32_t choose_tuning(int, bool, uint32_t) { return 0; }
void set_session_extras(NV_ENC_INITIALIZE_PARAMS&, NV_ENC_CONFIG&, uint32_t, const GUID*) {}

}  // namespace tevu::nvenc::api
