#include "preset_choice.h"

#include <algorithm>

#include "api_traits.h"
#include "policy.h"
#include "tables.h"

namespace tevu::nvenc {

PresetCandidates rank_presets(const PresetWanted& wanted) {
    PresetCandidates candidates;
    // Where lossless is a tuning, any preset serves it, but only in 4:4:4.
    if (api::kTunedPresets && wanted.lossless && !wanted.yuv444) return candidates;
    if (!wanted.desired.empty()) candidates[-1].push_back(wanted.desired);
    for (const GuidName& entry : preset_guids()) {
        const std::string name = entry.name;
        const PresetRank* rank = preset_rank(name);
        const int speed = rank ? rank->speed : 50;
        const int quality = rank ? rank->quality : 50;
        const bool lossless_preset = is_lossless_preset(name);
        if (!api::kTunedPresets && lossless_preset && !wanted.yuv444) continue;
        if (!api::kTunedPresets && wanted.lossless != lossless_preset) continue;
        if (speed < 0 || quality < 0) continue;
        auto& names = candidates[preset_score(speed, quality, wanted.speed, wanted.quality)];
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return candidates;
}

}  // namespace tevu::nvenc
