// The encoder's codecs, by the encoding name a host asks for, in the order of preference: those of the
// build's API row (codec_list.h, written from apis.cmake).
#include "codec.h"
#include "codec_list.h"

namespace tevu::nvenc {

const std::vector<const Codec*>& all_codecs() {
#define TEVU_NVENC_CODEC(name) &name##_codec(),
    static const std::vector<const Codec*> codecs = {TEVU_NVENC_CODEC_LIST(TEVU_NVENC_CODEC)};
#undef TEVU_NVENC_CODEC
    return codecs;
}

const Codec* find_codec(const std::string& encoding) {
    for (const Codec* codec : all_codecs())
        if (encoding == codec->encoding()) return codec;
    return nullptr;
}

}  // namespace tevu::nvenc
