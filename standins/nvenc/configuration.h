// From the client's encoder parameters to the settings of the H.264 encoder.
#pragma once

#include <optional>

#include "catalogue.h"
#include "h264_encoder.h"
#include "nvenc_api.h"

namespace tevu::standin::nvenc {

QpRange qp_range_of(const NV_ENC_RC_PARAMS& rc);
// None for a rate-control mode the stand-in does not offer (the two-pass modes, unknown values).
std::optional<RateSettings> rate_of(const NV_ENC_RC_PARAMS& rc);
const char* rate_mode_name(uint32_t mode);

struct Translation {
    NVENCSTATUS status = NV_ENC_SUCCESS;
    const char* reason = "";  // why it was refused
    EncoderSettings settings;
};

// Checks and translates initialisation parameters and the configuration they carry (or the preset's). A
// tuned preset needs a tuning (tuningInfo), and the lossless tuning 4:4:4; a session offering the presets
// P1-P7 takes only the rate-control modes of API 12.0 (constant quantiser, variable and constant bitrate).
Translation translate(const NV_ENC_INITIALIZE_PARAMS& params, const NV_ENC_CONFIG& config, const Preset& preset,
                      const Offer& offer);

}  // namespace tevu::standin::nvenc
