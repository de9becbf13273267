// The rate control that the API-4.0 and API-12.0 builds write into a rate-control block.
#pragma once

#include "api_traits.h"
#include "policy.h"

namespace tevu::nvenc::api {

// Bitrates and a quantiser range (on the scale of kMaxQuantiser, brought to the codec's): a constant
// quantiser, or a variable bitrate within the range.
inline void apply_rate_control(NV_ENC_RC_PARAMS& rc, const RateTargets& targets, bool constant_qp,
                               QuantiserRange range) {
    range = on_scale(range, targets.max_quantiser, constant_qp ? 0 : targets.min_quantiser);
    rc.rateControlMode = constant_qp ? NV_ENC_PARAMS_RC_CONSTQP : NV_ENC_PARAMS_RC_VBR;
    rc.averageBitRate = targets.target_bitrate;
    rc.maxBitRate = targets.max_bitrate;
    rc.enableMinQP = 1;
    rc.enableMaxQP = 1;
    const uint32_t lo = static_cast<uint32_t>(range.min), hi = static_cast<uint32_t>(range.max);
    rc.minQP = {lo, lo, lo};
    rc.maxQP = {hi, hi, hi};
}

}  // namespace tevu::nvenc::api
