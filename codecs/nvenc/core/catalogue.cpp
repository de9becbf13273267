#include "catalogue.h"

namespace tevu::nvenc {

Catalogue::CodecOffer& Catalogue::offer(const Guid& codec) {
    for (CodecOffer& o : offers_)
        if (nvenc_same_guid(o.codec, codec)) return o;
    offers_.push_back(CodecOffer{});
    offers_.back().codec = codec;
    return offers_.back();
}

PresetConfig Catalogue::CodecOffer::config(const Guid& preset, uint32_t tuning) const {
    for (const AskedConfig& c : configs)
        if (c.tuning == tuning && nvenc_same_guid(c.preset, preset)) return c.config;
    return nullptr;
}

void Catalogue::CodecOffer::keep_config(const Guid& preset, uint32_t tuning, PresetConfig config) {
    if (config && !this->config(preset, tuning)) configs.push_back({preset, tuning, std::move(config)});
}

std::optional<int> Catalogue::CodecOffer::cap(int which) const {
    for (const auto& [number, answer] : caps)
        if (number == which) return answer;
    return std::nullopt;
}

}  // namespace tevu::nvenc
