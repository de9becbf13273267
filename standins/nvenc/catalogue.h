// What the stand-in offers: codecs, profiles, presets with their configurations, input formats and
// capability answers.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "h264_encoder.h"
#include "nvenc_api.h"

namespace tevu::standin::nvenc {

// Canonical upper-case text of a GUID, for the trace.
std::string guid_text(const GUID& guid);

enum class Codec { H264, Hevc };
std::optional<Codec> codec_of(const GUID& guid);
std::vector<GUID> codec_guids();
std::vector<GUID> profile_guids(Codec codec);

// What the catalogue is answered for: the session's API, the capability overrides and the preset switches.
struct Offer {
    std::map<int, int> capability_overrides;
    bool extra_preset = false;
    uint32_t api = NVENC_API_V5;
    bool legacy_presets = true;  // NVENC_EMU_LEGACY_PRESETS
    // The presets P1-P7 and the rate-control modes of API 12.0 instead of those of API 4.0/5.0: for API 12.0
    // sessions, and for every session of a driver from 590 on.
    bool current_presets() const { return api >= NVENC_API_V12 || !legacy_presets; }
    int capability(NV_ENC_CAPS cap) const;  // 0 for an unknown capability
    bool yuv444() const { return capability(NV_ENC_CAPS_SUPPORT_YUV444_ENCODE) != 0; }
    bool lossless() const { return yuv444() && capability(NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE) != 0; }
};

// The capability's answer; none for a number outside the capability list.
std::optional<int> capability_value(const Offer& offer, int cap);
std::vector<NV_ENC_BUFFER_FORMAT> input_formats(const Offer& offer, Codec codec);

struct Preset {
    GUID guid;
    const char* speed;  // libx264 speed preset
    QpTriple qp;
    uint32_t gop_length;
    bool lossless;
    bool tuned;  // P1-P7: used with a tuning, which sets the rate control
};
std::vector<Preset> presets(const Offer& offer, Codec codec);
std::optional<Preset> find_preset(const Offer& offer, Codec codec, const GUID& guid);

// A tuning of NV_ENC_TUNING_INFO other than UNDEFINED.
bool known_tuning(uint32_t tuning);
// The tunings a session offers: lossless only with 4:4:4 and lossless encoding, and for H.264.
bool tuning_offered(const Offer& offer, Codec codec, NV_ENC_TUNING_INFO tuning);

// The driver-style configuration of a preset, with the given API's version word. A tuned preset's rate
// control follows the tuning: constant bitrate for low latency, variable bitrate for high quality, and a
// constant quantiser of 0 with the transform bypass in 4:4:4 for lossless; without a tuning (the call
// without Ex) it is configured for high quality.
NV_ENC_CONFIG preset_configuration(Codec codec, const Preset& preset, uint32_t api,
                                   NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_UNDEFINED);

}  // namespace tevu::standin::nvenc
