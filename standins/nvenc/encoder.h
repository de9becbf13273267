// What every codec's encoder of the stand-in shares: the settings translated from the client's
// configuration, one picture's request and result, and the interface the session drives.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tevu::standin::nvenc {

enum class Codec { H264, Hevc, Av1 };

enum class ChromaFormat { Yuv420, Yuv444 };
enum class RateControl { ConstQp, VariableBitrate, ConstantBitrate };
enum class Profile { Auto, Baseline, Main, High, High444 };
enum class EntropyCoding { Auto, Cabac, Cavlc };

// A quantiser per picture kind, as the encoder's configuration carries them.
struct QpTriple {
    int inter_p = 0;
    int inter_b = 0;
    int intra = 0;
};

// Inclusive quantiser bounds; a disabled bound leaves the encoder's own limit.
struct QpRange {
    bool min_enabled = false;
    bool max_enabled = false;
    int min_qp = 0;
    int max_qp = 51;
};

struct RateSettings {
    RateControl mode = RateControl::ConstQp;
    QpTriple const_qp{23, 25, 21};
    uint32_t average_bitrate = 0;  // bits per second
    uint32_t max_bitrate = 0;
    uint32_t vbv_buffer_size = 0;  // bits, 0: one second at the maximum rate
    QpRange range;
};

struct ColourSignal {
    bool signal_type_present = false;
    int video_format = 5;
    bool full_range = false;
    bool colour_description_present = false;
    int primaries = 2;
    int transfer = 2;
    int matrix = 2;
};

struct EncoderSettings {
    int width = 0;
    int height = 0;
    ChromaFormat chroma = ChromaFormat::Yuv420;
    Profile profile = Profile::Auto;
    EntropyCoding entropy = EntropyCoding::Auto;
    RateSettings rate;
    bool transform_bypass = false;  // with a constant quantiser of 0: lossless
    uint32_t fps_num = 30;
    uint32_t fps_den = 1;
    int reference_frames = 1;
    int keyint = 0;                       // IDR period for pictures of automatic type; 0: never
    bool repeat_parameter_sets = false;   // SPS and PPS before every IDR picture
    std::string speed = "superfast";  // speed preset by libx264's names (libx265 shares them)
    ColourSignal colour;

    bool lossless() const {
        return transform_bypass && rate.mode == RateControl::ConstQp && rate.const_qp.inter_p == 0 &&
               rate.const_qp.intra == 0;
    }
};

// One picture's planes. NV12: planes[0] luma, planes[1] interleaved chroma. YUV444: three full planes.
struct PictureView {
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    int pitch[3] = {0, 0, 0};
};

// Builds the plane view of a pitched buffer holding a whole picture (luma rows first, then chroma).
PictureView picture_in_buffer(const uint8_t* base, int pitch, int height, ChromaFormat chroma);

// What one picture asks of the encoder.
struct PictureRequest {
    bool force_idr = false;
    bool force_intra = false;
    bool with_parameter_sets = false;  // SPS and PPS before this picture
    int64_t pts = 0;
    // Picture-level quantiser bounds. They move a constant quantiser into the range; libx264 cannot
    // change a bitrate stream's bounds within the stream, so there the session's bounds stay.
    QpRange range;
    // The idr_pic_id of the stream's last IDR picture, from whichever encoder made it: an IDR picture
    // with the same value gets another one.
    std::optional<uint32_t> previous_idr_pic_id;
};

enum class PictureKind { Idr, Intra, Predicted };

struct EncodedPicture {
    std::vector<uint8_t> data;  // Annex-B byte stream
    PictureKind kind = PictureKind::Predicted;
    int average_qp = 0;
    std::optional<uint32_t> idr_pic_id;  // IDR pictures: the value their slices carry
};

class EncoderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The rate-control changes a running stream takes in place, as a driver's capabilities offer them.
struct LiveRateChanges {
    bool rate = true;   // bitrates and quantiser bounds
    bool mode = false;  // between the bitrate modes
};

// One codec's encoder; zero latency: every picture comes out of the call that takes it.
class Encoder {
public:
    virtual ~Encoder() = default;
    virtual EncodedPicture encode(const PictureView& picture, const PictureRequest& request) = 0;
    virtual const EncoderSettings& settings() const = 0;
    // Takes the rate control of `next` for the pictures to come, within the stream (no new key picture),
    // as far as `changes` allows and the codec's library can; false, changing nothing, otherwise.
    virtual bool change_rate(const EncoderSettings& next, const LiveRateChanges& changes) = 0;
};

bool operator==(const QpRange& a, const QpRange& b);
// Whether `next` differs from `now` in its rate control alone, between bitrate modes, as `changes` allows.
bool rate_change_allowed(const EncoderSettings& now, const EncoderSettings& next, const LiveRateChanges& changes);

// A bitrate mode's rates in kbit/s, as libx264 and libx265 take them: no peak (0) below the average, and a
// rate buffer (kbit) only with a peak, one second at the peak unless the settings give its size. Throws
// EncoderError without an average bitrate.
struct BitrateKbps {
    int average = 0;
    int peak = 0;
    int buffer = 0;
};
BitrateKbps bitrate_kbps(const RateSettings& rate);

// The quantisers a range allows on a scale lowest..highest: an enabled bound is moved onto the scale (the
// upper one no lower than the lower one), a disabled one is the scale's end.
std::pair<int, int> quantiser_limits(const QpRange& range, int lowest, int highest);

// One step of a plain rate control, for libraries that cannot take new rate settings within a stream: the
// next picture's quantiser goes up from `qp` when the last picture (`bits`) took much more than its share of
// the average bitrate, down when it took much less, and stays within lowest..highest.
int steered_quantiser(int qp, int bits, const EncoderSettings& settings, int lowest, int highest);

// Whether the codec's encoder is part of this build (HEVC and AV1 are, when their libraries were found).
bool codec_built(Codec codec);
// Opens the codec's encoder; throws EncoderError.
std::unique_ptr<Encoder> open_encoder(Codec codec, const EncoderSettings& settings);
// What a picture holds when the real encode is skipped: the codec's smallest valid unit.
const std::vector<uint8_t>& null_picture(Codec codec);

// Whether an encoded picture of this kind carries the stream's parameter sets (sequence header) first.
inline bool carries_parameter_sets(const EncoderSettings& s, const PictureRequest& request, PictureKind kind) {
    return request.with_parameter_sets || (s.repeat_parameter_sets && kind == PictureKind::Idr);
}

// NV12's interleaved chroma split into planes, for the libraries that read planar 4:2:0 only.
class PlanarPicture {
public:
    PlanarPicture(const PictureView& nv12, int width, int height);
    const uint8_t* plane(int i) const { return planes_[i].data(); }
    int pitch(int i) const { return i == 0 ? pitch_ : pitch_ / 2; }

private:
    int pitch_;
    std::vector<uint8_t> planes_[3];
};

}  // namespace tevu::standin::nvenc
