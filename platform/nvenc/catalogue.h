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

// What the catalogue is answered for: the capability overrides and the extra preset switch.
struct Offer {
    std::map<int, int> capability_overrides;
    bool extra_preset = false;
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
};
std::vector<Preset> presets(const Offer& offer, Codec codec);
std::optional<Preset> find_preset(const Offer& offer, Codec codec, const GUID& guid);

// The driver-style configuration of a preset, with the given API's version word.
NV_ENC_CONFIG preset_configuration(Codec codec, const Preset& preset, uint32_t api);

}  // namespace tevu::standin::nvenc
