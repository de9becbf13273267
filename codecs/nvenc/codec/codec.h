// The codec seam: what one codec decides about a stream. The encoding name a host sets an encoder up with
// chooses the codec (find_codec); the core and the API traits ask it for the codec's GUID, its profile,
// its members of the session configuration and of each picture's parameters, and the scale of its
// quantisers, and name no codec themselves. A codec is one unit of this folder and one row of the
// table in codecs.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nvenc_api.h"

namespace tevu::nvenc {

class Codec {
public:
    virtual ~Codec() = default;
    // The encoding name a host asks for ("h264").
    virtual const char* encoding() const = 0;
    // The codec's name in the codec tables and the log lines ("H264").
    virtual const char* name() const = 0;
    virtual const GUID& guid() const = 0;
    // The profile of a stream in 4:4:4 or in 4:2:0; null where the preset's profile stays.
    virtual const GUID* profile(bool yuv444) const = 0;
    // The top of the codec's quantiser scale, which starts at 0.
    virtual int max_quantiser() const = 0;
    // The lowest quantiser of a lossy picture: 1 where the quantiser 0 alone makes a picture lossless.
    virtual int min_lossy_quantiser() const { return 0; }
    // Whether the codec can encode 4:4:4 and lossless at all (a device may still not offer them).
    virtual bool has_yuv444() const { return true; }
    // Writes the codec's member of a session configuration copied from its preset.
    virtual void set_session_config(NV_ENC_CONFIG& config, bool yuv444) const = 0;
    // What a configuration with the constant quantiser 0 needs besides to be lossless.
    virtual void set_lossless(NV_ENC_CONFIG& config) const = 0;
    // Writes the codec's member of one picture's parameters: the picture `frame` of the stream, and
    // whether it is a key picture.
    virtual void set_picture(NV_ENC_PIC_PARAMS& picture, uint32_t frame, bool key) const = 0;
};

// The codec of an encoding name; null when the encoder has none for it.
const Codec* find_codec(const std::string& encoding);
// The build's codecs, in the order of preference (the first is the one every device has).
const std::vector<const Codec*>& all_codecs();

// The codecs (one unit each; a build has those its API row of apis.cmake lists).
const Codec& h264_codec();
const Codec& h265_codec();
const Codec& av1_codec();

// The members of one picture's parameters that H.264 and HEVC share: the picture's order, whether it is a
// reference, and one slice.
template <class CodecPicture>
void set_slice_picture(CodecPicture& picture, uint32_t frame, bool key) {
    picture.displayPOCSyntax = 2 * frame;
    picture.refPicFlag = key ? 1 : 0;
    picture.sliceMode = NVENC_SLICE_MODE_COUNT;
    picture.sliceModeData = 1;
}

}  // namespace tevu::nvenc
