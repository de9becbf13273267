// One line per entry-point call, appended to the file that NVENC_EMU_TRACE names, so that tests can see
// what the library received:
//
//   <entry point> key=value key=value ... status=<status>
//
// Every line ends with the call's status; "injected=1" comes before it when NVENC_EMU_FAIL chose it
// (the call then did nothing else). Calls on a session carry "api=0x40", "api=0x50" or "api=0xc0" (the
// session's API); calls with a versioned structure carry its word as "version=0x...". Numbers are decimal unless
// shown with 0x. Quantiser triples are "P,B,I"; a disabled bound is "none". Per entry point:
//   NvEncodeAPICreateInstance   api version
//   nvEncOpenEncodeSessionEx    api version api_version device_type device open_sessions
//   nvEncGetEncodeCaps          version codec cap value
//   nvEncGetEncodePresetConfig  version config_version codec preset
//   nvEncGetEncodePresetConfigEx  tuning version config_version codec preset
//   nvEncGetLastErrorString     text (the text answered, in single quotes)
//   nvEncInitializeEncoder,     version [reset force_idr] preset tuning width height frame_rate ptd gop
//   nvEncReconfigureEncoder       p_interval rc qp minqp maxqp avg_bitrate max_bitrate chroma bypass
//                                 signal_type colour_description [codec] [in_place]
//                                 (rc: constqp, vbr, cbr, vbr_minqp, ...; codec=hevc or codec=av1 for
//                                 those codecs, whose chroma and colour come from their own member and
//                                 whose bypass is HEVC's lossless tuning; in_place=1: new bitrates
//                                 within the stream)
//   nvEncRegisterResource       version width height pitch format
//   nvEncCreateBitstreamBuffer  version size
//   nvEncEncodePicture          version frame flags type, then "eos=1" for the end of the stream, or:
//                                 [pic_rc pic_qp pic_minqp pic_maxqp pic_avg_bitrate pic_max_bitrate]
//                                 (an API 4.0 picture's own rate-control block, when it is not all zero)
//                                 size avg_qp (the picture's bytes and average quantiser)
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

namespace tevu::standin::nvenc {

class TraceLine {
public:
    explicit TraceLine(const std::string& entry) { text_ << entry; }
    TraceLine& add(const char* key, long long value) {
        text_ << ' ' << key << '=' << value;
        return *this;
    }
    TraceLine& add_hex(const char* key, uint64_t value) {
        text_ << ' ' << key << "=0x" << std::hex << value << std::dec;
        return *this;
    }
    TraceLine& add(const char* key, const std::string& value) {
        text_ << ' ' << key << '=' << value;
        return *this;
    }
    std::string str() const { return text_.str(); }

private:
    std::ostringstream text_;
};

// Appends the line (and a line feed) to the file; nothing when the path is empty.
void append_trace(const std::string& path, const TraceLine& line);

}  // namespace tevu::standin::nvenc
