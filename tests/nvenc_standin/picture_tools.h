// Test tools: synthetic pictures, decoding with ffmpeg, PSNR, NAL unit listing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nvenc_test {

// Planar 8-bit YUV picture, tightly packed planes (Y, U, V), 4:2:0 or 4:4:4.
struct YuvPicture {
    int width = 0;
    int height = 0;
    bool yuv444 = false;
    std::vector<uint8_t> y, u, v;
    int chroma_width() const { return yuv444 ? width : width / 2; }
    int chroma_height() const { return yuv444 ? height : height / 2; }
};

// A desktop-like picture: flat window areas, title bars, lines of text-like glyphs, a gradient and a
// block that moves with the frame index. BGRX pixels, rowstride = 4 * width. A busy desktop scrolls its
// text and plays a video where the gradient is, as much motion as a bitrate needs to be spent.
std::vector<uint8_t> desktop_bgrx(int width, int height, int frame, bool busy = false);

// The same kind of content generated directly in YUV (for the encoder core, without a conversion).
YuvPicture desktop_yuv(int width, int height, int frame, bool yuv444);

// Writes the picture into a pitched buffer: luma rows, then NV12's interleaved chroma rows (4:2:0)
// or the U and V planes (4:4:4), each row `pitch` bytes.
std::vector<uint8_t> to_pitched(const YuvPicture& picture, int pitch);
// The reverse of to_pitched.
YuvPicture from_pitched(const uint8_t* buffer, int pitch, int width, int height, bool yuv444);

// A temporary directory removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

struct DecodedStream {
    int width = 0;
    int height = 0;
    std::string pixel_format;  // the stream's own, as ffprobe names it ("yuv420p")
    std::vector<YuvPicture> frames;
    std::string error;  // empty on success
};

// Decodes a stream of ffmpeg's input format ("h264", "hevc", "obu") into planar pictures of the given
// chroma format.
DecodedStream decode_stream(const std::vector<uint8_t>& stream, bool yuv444, const std::string& format);
// Decodes an H.264 Annex-B stream with ffmpeg into planar pictures of the given chroma format.
DecodedStream decode_h264(const std::vector<uint8_t>& stream, bool yuv444);

// Peak signal-to-noise ratio over all three planes in dB (a large finite value when identical).
double psnr(const YuvPicture& a, const YuvPicture& b);
bool identical(const YuvPicture& a, const YuvPicture& b);

// The nal_unit_type of every NAL unit in an Annex-B stream of H.264 (or HEVC), in order.
std::vector<int> nal_types(const std::vector<uint8_t>& stream, bool hevc = false);
// The obu_type of every OBU of an AV1 stream in the low-overhead format, in order; -1 after a malformed one.
std::vector<int> obu_types(const std::vector<uint8_t>& stream);

// The values of one syntax element of the stream's headers (parameter sets, slice headers), in stream
// order, as ffmpeg's header trace reads them; empty when ffmpeg cannot read the stream.
std::vector<long> header_values(const std::vector<uint8_t>& stream, const std::string& element);

// Runs a shell command, returning its exit status and its standard output.
int run_command(const std::string& command, std::string* output = nullptr);

}  // namespace nvenc_test
