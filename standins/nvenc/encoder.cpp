#include "encoder.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "h264_encoder.h"
#if TEVU_STANDIN_WITH_HEVC
#include "hevc_encoder.h"
#endif
#if TEVU_STANDIN_WITH_AV1
#include "av1_encoder.h"
#endif

namespace tevu::standin::nvenc {
namespace {

auto fields(const QpTriple& q) { return std::tie(q.inter_p, q.inter_b, q.intra); }
auto fields(const QpRange& r) { return std::tie(r.min_enabled, r.max_enabled, r.min_qp, r.max_qp); }
auto fields(const ColourSignal& c) {
    return std::tie(c.signal_type_present, c.video_format, c.full_range, c.colour_description_present, c.primaries,
                    c.transfer, c.matrix);
}
// Every setting but the bitrate mode, the bitrates, the rate buffer's size and the quantiser bounds.
auto fixed_fields(const EncoderSettings& s) {
    return std::make_tuple(s.width, s.height, s.chroma, s.profile, s.entropy, fields(s.rate.const_qp),
                           s.transform_bypass, s.fps_num, s.fps_den, s.reference_frames, s.keyint,
                           s.repeat_parameter_sets, s.speed, fields(s.colour));
}

}  // namespace

bool operator==(const QpRange& a, const QpRange& b) { return fields(a) == fields(b); }

bool rate_change_allowed(const EncoderSettings& now, const EncoderSettings& next, const LiveRateChanges& changes) {
    const bool bitrate_modes = now.rate.mode != RateControl::ConstQp && next.rate.mode != RateControl::ConstQp;
    return fixed_fields(next) == fixed_fields(now) && bitrate_modes && changes.rate &&
           (next.rate.mode == now.rate.mode || changes.mode);
}

PictureView picture_in_buffer(const uint8_t* base, int pitch, int height, ChromaFormat chroma) {
    PictureView v;
    const size_t plane = static_cast<size_t>(pitch) * height;
    const int planes = chroma == ChromaFormat::Yuv444 ? 3 : 2;
    for (int i = 0; i < planes; ++i) {
        v.planes[i] = base + plane * i;
        v.pitch[i] = pitch;
    }
    return v;
}

BitrateKbps bitrate_kbps(const RateSettings& rate) {
    if (rate.average_bitrate == 0)
        throw EncoderError("a bitrate mode needs an average bitrate");
    BitrateKbps k;
    k.average = std::max<int>(1, static_cast<int>(rate.average_bitrate / 1000));
    k.peak = rate.mode == RateControl::ConstantBitrate ? k.average : static_cast<int>(rate.max_bitrate / 1000);
    if (k.peak < k.average)
        k.peak = 0;  // no peak limit below the average: plain average bitrate
    k.buffer = k.peak == 0 ? 0 : (rate.vbv_buffer_size ? static_cast<int>(rate.vbv_buffer_size / 1000) : k.peak);
    return k;
}

std::pair<int, int> quantiser_limits(const QpRange& range, int lowest, int highest) {
    const int lo = range.min_enabled ? std::clamp(range.min_qp, lowest, highest) : lowest;
    return {lo, range.max_enabled ? std::clamp(range.max_qp, lo, highest) : highest};
}

int steered_quantiser(int qp, int bits, const EncoderSettings& s, int lowest, int highest) {
    const double share = static_cast<double>(s.rate.average_bitrate) * s.fps_den / s.fps_num;
    const double ratio = share > 0 ? bits / share : 1.0;
    const int step = ratio > 2.0 ? 2 : ratio > 1.2 ? 1 : ratio < 0.5 ? -2 : ratio < 0.8 ? -1 : 0;
    return std::clamp(qp + step, lowest, highest);
}

bool codec_built(Codec codec) {
    switch (codec) {
    case Codec::H264: return true;
    case Codec::Hevc: return TEVU_STANDIN_WITH_HEVC != 0;
    case Codec::Av1: return TEVU_STANDIN_WITH_AV1 != 0;
    }
    return false;
}

std::unique_ptr<Encoder> open_encoder(Codec codec, const EncoderSettings& settings) {
    switch (codec) {
    case Codec::H264: return std::make_unique<H264Encoder>(settings);
#if TEVU_STANDIN_WITH_HEVC
    case Codec::Hevc: return std::make_unique<HevcEncoder>(settings);
#endif
#if TEVU_STANDIN_WITH_AV1
    case Codec::Av1: return std::make_unique<Av1Encoder>(settings);
#endif
    default: break;
    }
    throw EncoderError("this build has no encoder for the codec");
}

const std::vector<uint8_t>& null_picture(Codec codec) {
    // An access unit delimiter (H.264, HEVC), a temporal delimiter (AV1).
    static const std::vector<uint8_t> h264 = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
    static const std::vector<uint8_t> hevc = {0x00, 0x00, 0x00, 0x01, 0x46, 0x01, 0x50};
    static const std::vector<uint8_t> av1 = {0x12, 0x00};
    switch (codec) {
    case Codec::Hevc: return hevc;
    case Codec::Av1: return av1;
    case Codec::H264: break;
    }
    return h264;
}

PlanarPicture::PlanarPicture(const PictureView& nv12, int width, int height) : pitch_(width) {
    const int chroma_width = width / 2, chroma_height = height / 2;
    planes_[0].resize(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        std::memcpy(&planes_[0][size_t(y) * width], nv12.planes[0] + size_t(y) * nv12.pitch[0], width);
    planes_[1].resize(size_t(chroma_width) * chroma_height);
    planes_[2].resize(planes_[1].size());
    for (int y = 0; y < chroma_height; ++y) {
        const uint8_t* row = nv12.planes[1] + size_t(y) * nv12.pitch[1];
        uint8_t* u = &planes_[1][size_t(y) * chroma_width];
        uint8_t* v = &planes_[2][size_t(y) * chroma_width];
        for (int x = 0; x < chroma_width; ++x) {
            u[x] = row[2 * x];
            v[x] = row[2 * x + 1];
        }
    }
}

}  // namespace tevu::standin::nvenc
