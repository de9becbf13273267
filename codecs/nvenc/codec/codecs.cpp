// The encoder's codecs, by the encoding name a host asks for, in the order of preference.
#include "codec.h"

namespace tevu::nvenc {

const Codec* find_codec(const std::string& encoding) {
    static const Codec* const kCodecs[] = {&h264_codec()};
    for (const Codec* codec : kCodecs)
        if (encoding == codec->encoding()) return codec;
    return nullptr;
}

}  // namespace tevu::nvenc
