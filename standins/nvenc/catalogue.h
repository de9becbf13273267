// What the stand-in offers: codecs, profiles, presets with their configurations, input formats and
// capability answers.
#pragma once

#include <map>
#include <string_view>
#include <optional>
#include <string>
#include <vector>

#include "encoder.h"
#include "nvenc_api.h"

namespace tevu::standin::nvenc {

// Canonical upper-case text of a GUID, for the trace.
std::string guid_text(const GUID& guid);

std::optional<Codec> codec_of(const GUID& guid);
GUID guid_of(Codec codec);
// The codec's name in the steering variables: "h264", "hevc", "av1".
const char* codec_name(Codec codec);
std::optional<Codec> codec_named(std::string_view name);
// Every codec, in the order a driver lists them.
std::vector<Codec> all_codecs();
std::vector<GUID> profile_guids(Codec codec);

// Capability answers set by NVENC_EMU_CAPS: for every codec, and for one (which wins).
struct CapabilityOverrides {
    std::map<int, int> every_codec;
    std::map<Codec, std::map<int, int>> per_codec;
    std::optional<int> find(Codec codec, int cap) const;
    bool operator==(const CapabilityOverrides& o) const {
        return every_codec == o.every_codec && per_codec == o.per_codec;
    }
};

// What the catalogue is answered for: the session's API, the capability overrides and the preset switches.
struct Offer {
    CapabilityOverrides capability_overrides;
    bool extra_preset = false;
    uint32_t api = NVENC_API_V5;
    bool legacy_presets = true;  // NVENC_EMU_LEGACY_PRESETS
    std::vector<Codec> device_codecs = all_codecs();  // NVENC_EMU_CODECS: what the GPU encodes
    // The presets P1-P7 and the rate-control modes of API 12.0 instead of those of API 4.0/5.0: for API 12.0
    // sessions, and for every session of a driver from 590 on.
    bool current_presets() const { return api >= NVENC_API_V12 || !legacy_presets; }
    // The codecs the session lists, in the driver's order: for API 12.0 those of the device that this build
    // encodes; for API 4.0/5.0 H.264 and, for discovery, HEVC, as far as the device has them.
    std::vector<Codec> codecs() const;
    // Whether a listed codec can be initialised: any for API 12.0 sessions, H.264 alone for the others.
    bool encodes(Codec codec) const;
    int capability(NV_ENC_CAPS cap, Codec codec = Codec::H264) const;  // 0 for an unknown capability
    bool yuv444(Codec codec) const { return capability(NV_ENC_CAPS_SUPPORT_YUV444_ENCODE, codec) != 0; }
    bool lossless(Codec codec) const {
        return yuv444(codec) && capability(NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE, codec) != 0;
    }
};

// The capability's answer for the codec; none for a number outside the capability list.
std::optional<int> capability_value(const Offer& offer, int cap, Codec codec = Codec::H264);
std::vector<NV_ENC_BUFFER_FORMAT> input_formats(const Offer& offer, Codec codec);

struct Preset {
    GUID guid;
    const char* speed;  // speed preset, by libx264's names
    QpTriple qp;
    uint32_t gop_length;
    bool lossless;
    bool tuned;  // P1-P7: used with a tuning, which sets the rate control
};
std::vector<Preset> presets(const Offer& offer, Codec codec);
std::optional<Preset> find_preset(const Offer& offer, Codec codec, const GUID& guid);

// A tuning of NV_ENC_TUNING_INFO other than UNDEFINED.
bool known_tuning(uint32_t tuning);
// The tunings a session offers: lossless only with the codec's 4:4:4 and lossless encoding.
bool tuning_offered(const Offer& offer, Codec codec, NV_ENC_TUNING_INFO tuning);

// The driver-style configuration of a preset, with the given API's version word. A tuned preset's rate
// control follows the tuning: constant bitrate for low latency, variable bitrate for high quality, and a
// constant quantiser of 0 with the transform bypass (H.264) in 4:4:4 for lossless; without a tuning (the call
// without Ex) it is configured for high quality.
NV_ENC_CONFIG preset_configuration(Codec codec, const Preset& preset, uint32_t api,
                                   NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_UNDEFINED);

}  // namespace tevu::standin::nvenc
