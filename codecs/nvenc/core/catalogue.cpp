#include "catalogue.h"

namespace tevu::nvenc {

Catalogue::CodecOffer& Catalogue::offer(const Guid& codec) {
    for (CodecOffer& o : offers_)
        if (nvenc_same_guid(o.codec, codec)) return o;
    offers_.push_back({codec, {}, {}});
    return offers_.back();
}

}  // namespace tevu::nvenc
