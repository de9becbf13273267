// From the client's encoder parameters to the settings of the codec's encoder.
#pragma once

#include <optional>

#include "catalogue.h"
#include "encoder.h"
#include "nvenc_api.h"

namespace tevu::standin::nvenc {

QpRange qp_range_of(const NV_ENC_RC_PARAMS& rc);
// None for a rate-control mode the stand-in does not offer (the two-pass modes, unknown values).
std::optional<RateSettings> rate_of(const NV_ENC_RC_PARAMS& rc);
const char* rate_mode_name(uint32_t mode);

// What the translation reads of the codec's own member of the configuration.
struct CodecFields {
    uint32_t chroma_format_idc = 0;
    bool transform_bypass = false;  // H.264's flag; HEVC: the lossless tuning
    bool repeat_parameter_sets = false;
    bool without_parameter_sets = false;  // no parameter sets at all (H.264's disableSPSPPS)
    uint32_t reference_frames = 0;
    EntropyCoding entropy = EntropyCoding::Auto;
    ColourSignal colour;
    bool beyond_offer = false;  // stereo, temporal layers, separate colour planes, more than 8 bits
};
CodecFields codec_fields(Codec codec, const NV_ENC_CONFIG& config, uint32_t tuning);

struct Translation {
    NVENCSTATUS status = NV_ENC_SUCCESS;
    const char* reason = "";  // why it was refused
    EncoderSettings settings;
};

// Checks and translates initialisation parameters and the configuration they carry (or the preset's). A
// tuned preset needs a tuning (tuningInfo), and the lossless tuning 4:4:4; a session offering the presets
// P1-P7 takes only the rate-control modes of API 12.0 (constant quantiser, variable and constant bitrate).
Translation translate(Codec codec, const NV_ENC_INITIALIZE_PARAMS& params, const NV_ENC_CONFIG& config,
                      const Preset& preset, const Offer& offer);

}  // namespace tevu::standin::nvenc
