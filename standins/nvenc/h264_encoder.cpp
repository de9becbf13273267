#include "h264_encoder.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

extern "C" {
#include <x264.h>
}

namespace tevu::standin::nvenc {
namespace {

constexpr int kHighestQp = 51;
constexpr int kNalIdrSlice = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

const char* profile_name(const EncoderSettings& s) {
    switch (s.profile) {
    case Profile::Baseline: return "baseline";
    case Profile::Main: return "main";
    case Profile::High: return "high";
    case Profile::High444: return "high444";
    case Profile::Auto: break;
    }
    return (s.chroma == ChromaFormat::Yuv444 || s.lossless()) ? "high444" : "high";
}

// Without the transform bypass a quantiser of 0 would still be coded losslessly by libx264.
int lowest_qp(bool transform_bypass) { return transform_bypass ? 0 : 1; }

// The quantisers a range allows, as libx264 applies it.
std::pair<int, int> range_limits(const QpRange& range, bool transform_bypass) {
    return quantiser_limits(range, lowest_qp(transform_bypass), kHighestQp);
}

void apply_range(x264_param_t& p, const QpRange& range, bool transform_bypass) {
    std::tie(p.rc.i_qp_min, p.rc.i_qp_max) = range_limits(range, transform_bypass);
}

void apply_rate(x264_param_t& p, const RateSettings& rate, bool transform_bypass) {
    const int floor_qp = lowest_qp(transform_bypass);
    if (rate.mode == RateControl::ConstQp) {
        const int qp_p = std::clamp(rate.const_qp.inter_p, floor_qp, kHighestQp);
        const int qp_i = std::clamp(rate.const_qp.intra, floor_qp, kHighestQp);
        p.rc.i_rc_method = X264_RC_CQP;
        p.rc.i_qp_constant = qp_p;
        p.rc.f_ip_factor = static_cast<float>(std::pow(2.0, (qp_p - qp_i) / 6.0));
        p.rc.i_qp_min = floor_qp;
        p.rc.i_qp_max = kHighestQp;
        return;
    }
    const BitrateKbps kbps = bitrate_kbps(rate);
    p.rc.i_rc_method = X264_RC_ABR;
    // One quantiser across each picture, so that a picture whose quantiser is chosen here (bounds changed
    // within the stream) has it in every macroblock.
    p.rc.i_aq_mode = X264_AQ_NONE;
    p.rc.i_bitrate = kbps.average;
    p.rc.i_vbv_max_bitrate = kbps.peak;
    p.rc.i_vbv_buffer_size = kbps.buffer;
    apply_range(p, rate.range, transform_bypass);
}

bool has_rate_buffer(const x264_param_t& p) { return p.rc.i_vbv_max_bitrate > 0 && p.rc.i_vbv_buffer_size > 0; }

void apply_colour(x264_param_t& p, const ColourSignal& c) {
    p.vui.i_vidformat = c.signal_type_present ? c.video_format : 5;
    p.vui.b_fullrange = c.signal_type_present && c.full_range ? 1 : 0;
    p.vui.i_colorprim = c.colour_description_present ? c.primaries : 2;
    p.vui.i_transfer = c.colour_description_present ? c.transfer : 2;
    p.vui.i_colmatrix = c.colour_description_present ? c.matrix : 2;
}

x264_param_t make_params(const EncoderSettings& s) {
    x264_param_t p;
    if (x264_param_default_preset(&p, s.speed.c_str(), "zerolatency") < 0)
        throw EncoderError("unknown speed preset " + s.speed);
    if (s.width <= 0 || s.height <= 0 || s.width % 2 || s.height % 2)
        throw EncoderError("invalid picture size");
    if (s.fps_num == 0 || s.fps_den == 0)
        throw EncoderError("invalid frame rate");
    p.i_log_level = X264_LOG_ERROR;
    p.i_threads = 1;
    p.b_sliced_threads = 0;
    p.i_slice_count = 1;
    p.i_width = s.width;
    p.i_height = s.height;
    p.i_csp = s.chroma == ChromaFormat::Yuv444 ? X264_CSP_I444 : X264_CSP_NV12;
    p.i_fps_num = s.fps_num;
    p.i_fps_den = s.fps_den;
    p.b_vfr_input = 0;
    p.i_keyint_max = s.keyint > 0 ? s.keyint : X264_KEYINT_MAX_INFINITE;
    p.i_scenecut_threshold = 0;
    p.i_bframe = 0;
    p.b_intra_refresh = 0;
    p.i_frame_reference = std::clamp(s.reference_frames, 1, 16);
    p.b_repeat_headers = 0;
    p.b_annexb = 1;
    p.b_aud = 0;
    p.b_cabac = s.entropy == EntropyCoding::Cavlc ? 0 : 1;
    apply_colour(p, s.colour);
    apply_rate(p, s.rate, s.transform_bypass);
    if (x264_param_apply_profile(&p, profile_name(s)) < 0)
        throw EncoderError(std::string("the configuration does not fit profile ") + profile_name(s));
    return p;
}

void append_nal(std::vector<uint8_t>& out, const x264_nal_t& nal) {
    out.insert(out.end(), nal.p_payload, nal.p_payload + nal.i_payload);
}

// The unit after its start code.
const uint8_t* unit_of(const x264_nal_t& nal) { return nal.p_payload + (nal.b_long_startcode ? 4 : 3); }
size_t unit_size(const x264_nal_t& nal) { return size_t(nal.i_payload) - (nal.b_long_startcode ? 4 : 3); }

// The start code of `nal`, then `unit` in place of its own.
void append_replaced(std::vector<uint8_t>& out, const x264_nal_t& nal, const std::vector<uint8_t>& unit) {
    out.insert(out.end(), static_cast<const uint8_t*>(nal.p_payload), unit_of(nal));
    out.insert(out.end(), unit.begin(), unit.end());
}

// An IDR slice keeps its idr_pic_id unless the stream's previous IDR picture carried the same.
void append_idr_slice(std::vector<uint8_t>& out, const x264_nal_t& nal, const SequenceLayout& sequence,
                      const PictureRequest& request, EncodedPicture& result) {
    const std::optional<uint32_t> id = idr_pic_id(unit_of(nal), unit_size(nal), sequence);
    std::optional<std::vector<uint8_t>> other;
    if (id && id == request.previous_idr_pic_id)
        other = with_other_idr_pic_id(unit_of(nal), unit_size(nal), sequence);
    if (!other) {
        append_nal(out, nal);
        result.idr_pic_id = id;
        return;
    }
    append_replaced(out, nal, *other);
    result.idr_pic_id = idr_pic_id(other->data(), other->size(), sequence);
}

}  // namespace

void H264Encoder::Closer::operator()(x264_t* encoder) const { x264_encoder_close(encoder); }

H264Encoder::H264Encoder(const EncoderSettings& settings) : settings_(settings), opened_range_(settings.rate.range) {
    x264_param_t p = make_params(settings_);
    encoder_.reset(x264_encoder_open(&p));
    if (!encoder_)
        throw EncoderError("the encoder refused the configuration");
    read_parameter_sets();
}

H264Encoder::~H264Encoder() = default;

// A High 4:4:4 stream announces the transform bypass even when lossy: its quantisers stay above 0, where
// the flag means nothing. A decoder that builds its quantiser-0 scan tables only when the picture size or
// format changes (ffmpeg does, in every frame thread) then already has the ones that the lossless pictures
// after a reconfiguration need. New parameter-set ids would not help it.
void H264Encoder::read_parameter_sets() {
    constexpr int kHigh444 = 244;
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder_.get(), &nals, &count) < 0)
        throw EncoderError("no parameter sets");
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_type == kNalSps) {
            const std::optional<SequenceLayout> layout = read_sequence(unit_of(nals[i]), unit_size(nals[i]));
            if (!layout)
                throw EncoderError("unreadable sequence parameter set");
            sequence_ = *layout;
            std::optional<std::vector<uint8_t>> marked;
            if (layout->profile_idc == kHigh444 && !layout->transform_bypass && !settings_.transform_bypass)
                marked = with_transform_bypass(unit_of(nals[i]), unit_size(nals[i]));
            if (marked) {
                append_replaced(parameter_sets_, nals[i], *marked);
                continue;
            }
        }
        if (nals[i].i_type == kNalSps || nals[i].i_type == kNalPps)
            append_nal(parameter_sets_, nals[i]);
    }
}

bool H264Encoder::change_rate(const EncoderSettings& next, const LiveRateChanges& changes) {
    if (!rate_change_allowed(settings_, next, changes))
        return false;
    const x264_param_t wanted = make_params(next);
    x264_param_t p;
    x264_encoder_parameters(encoder_.get(), &p);
    if (!has_rate_buffer(wanted) || !has_rate_buffer(p))
        return false;
    p.rc.i_bitrate = wanted.rc.i_bitrate;
    p.rc.i_vbv_max_bitrate = wanted.rc.i_vbv_max_bitrate;
    p.rc.i_vbv_buffer_size = wanted.rc.i_vbv_buffer_size;
    if (x264_encoder_reconfig(encoder_.get(), &p) < 0)
        return false;
    settings_ = next;
    if (next.rate.range == opened_range_) {
        live_range_.reset();
    } else {
        const auto [lo, hi] = range_limits(next.rate.range, next.transform_bypass);
        live_qp_ = std::clamp(last_qp_ >= 0 ? last_qp_ : (lo + hi) / 2, lo, hi);
        live_range_ = next.rate.range;
    }
    return true;
}

void H264Encoder::steer_quantiser(int bits) {
    const auto [lo, hi] = range_limits(*live_range_, settings_.transform_bypass);
    live_qp_ = steered_quantiser(live_qp_, bits, settings_, lo, hi);
}

EncodedPicture H264Encoder::encode(const PictureView& picture, const PictureRequest& request) {
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = settings_.chroma == ChromaFormat::Yuv444 ? X264_CSP_I444 : X264_CSP_NV12;
    in.img.i_plane = settings_.chroma == ChromaFormat::Yuv444 ? 3 : 2;
    for (int i = 0; i < in.img.i_plane; ++i) {
        in.img.plane[i] = const_cast<uint8_t*>(picture.planes[i]);
        in.img.i_stride[i] = picture.pitch[i];
    }
    in.i_type = request.force_idr ? X264_TYPE_IDR : request.force_intra ? X264_TYPE_I : X264_TYPE_AUTO;
    in.i_pts = request.pts;
    if (live_range_) {
        in.i_qpplus1 = live_qp_ + 1;
    } else if (settings_.rate.mode == RateControl::ConstQp && (request.range.min_enabled || request.range.max_enabled)) {
        // A constant-quantiser stream keeps its quantiser unless the picture's bounds exclude it.
        int qp = settings_.rate.const_qp.inter_p;
        if (request.range.min_enabled) qp = std::max(qp, request.range.min_qp);
        if (request.range.max_enabled) qp = std::min(qp, request.range.max_qp);
        if (qp != settings_.rate.const_qp.inter_p)
            in.i_qpplus1 = std::clamp(qp, lowest_qp(settings_.transform_bypass), kHighestQp) + 1;
    }

    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    x264_picture_init(&out);
    const int bytes = x264_encoder_encode(encoder_.get(), &nals, &count, &in, &out);
    if (bytes < 0)
        throw EncoderError("encoding failed");
    if (bytes == 0)
        throw EncoderError("the encoder held the picture back");

    EncodedPicture result;
    result.data.reserve(bytes);
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_type == kNalIdrSlice)
            append_idr_slice(result.data, nals[i], sequence_, request, result);
        else if (nals[i].i_type != kNalSei)
            append_nal(result.data, nals[i]);
    }
    result.kind = out.i_type == X264_TYPE_IDR ? PictureKind::Idr
                  : IS_X264_TYPE_I(out.i_type) ? PictureKind::Intra
                                               : PictureKind::Predicted;
    if (carries_parameter_sets(settings_, request, result.kind))
        result.data.insert(result.data.begin(), parameter_sets_.begin(), parameter_sets_.end());
    result.average_qp = out.i_qpplus1 > 0 ? out.i_qpplus1 - 1 : 0;
    last_qp_ = result.average_qp;
    if (live_range_)
        steer_quantiser(8 * bytes);
    return result;
}

}  // namespace tevu::standin::nvenc
