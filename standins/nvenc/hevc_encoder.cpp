#include "hevc_encoder.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>

#include <x265.h>

namespace tevu::standin::nvenc {
namespace {

constexpr int kHighestQp = 51;
constexpr uint32_t kNalVps = 32;
constexpr uint32_t kNalSps = 33;
constexpr uint32_t kNalPps = 34;
constexpr uint32_t kNalPrefixSei = 39;
constexpr uint32_t kNalSuffixSei = 40;

// The quantisers a range allows.
std::pair<int, int> limits(const QpRange& range) { return quantiser_limits(range, 0, kHighestQp); }

void apply_rate(x265_param& p, const EncoderSettings& s) {
    const RateSettings& rate = s.rate;
    if (rate.mode == RateControl::ConstQp) {
        const int qp_p = std::clamp(rate.const_qp.inter_p, 0, kHighestQp);
        const int qp_i = std::clamp(rate.const_qp.intra, 0, kHighestQp);
        p.rc.rateControlMode = X265_RC_CQP;
        p.rc.qp = qp_p;
        p.rc.ipFactor = std::pow(2.0, (qp_p - qp_i) / 6.0);
        p.bLossless = s.lossless() ? 1 : 0;
        return;
    }
    const BitrateKbps kbps = bitrate_kbps(rate);
    p.rc.rateControlMode = X265_RC_ABR;
    p.rc.aqMode = X265_AQ_NONE;
    p.rc.bitrate = kbps.average;
    p.rc.vbvMaxBitrate = kbps.peak;
    p.rc.vbvBufferSize = kbps.buffer;
    std::tie(p.rc.qpMin, p.rc.qpMax) = limits(rate.range);
}

void apply_colour(x265_param& p, const ColourSignal& c) {
    p.vui.bEnableVideoSignalTypePresentFlag = c.signal_type_present ? 1 : 0;
    p.vui.videoFormat = c.signal_type_present ? c.video_format : 5;
    p.vui.bEnableVideoFullRangeFlag = c.signal_type_present && c.full_range ? 1 : 0;
    p.vui.bEnableColorDescriptionPresentFlag = c.colour_description_present ? 1 : 0;
    p.vui.colorPrimaries = c.colour_description_present ? c.primaries : 2;
    p.vui.transferCharacteristics = c.colour_description_present ? c.transfer : 2;
    p.vui.matrixCoeffs = c.colour_description_present ? c.matrix : 2;
}

void fill_params(x265_param& p, const EncoderSettings& s) {
    if (x265_param_default_preset(&p, s.speed.c_str(), "zerolatency") < 0)
        throw EncoderError("unknown speed preset " + s.speed);
    if (s.width <= 0 || s.height <= 0 || s.width % 2 || s.height % 2)
        throw EncoderError("invalid picture size");
    if (s.fps_num == 0 || s.fps_den == 0)
        throw EncoderError("invalid frame rate");
    p.logLevel = X265_LOG_ERROR;
    p.numaPools = "none";  // one thread, as the H.264 path runs
    p.frameNumThreads = 1;
    p.sourceWidth = s.width;
    p.sourceHeight = s.height;
    p.internalCsp = s.chroma == ChromaFormat::Yuv444 ? X265_CSP_I444 : X265_CSP_I420;
    p.fpsNum = s.fps_num;
    p.fpsDenom = s.fps_den;
    p.keyframeMax = s.keyint > 0 ? s.keyint : -1;  // -1: never a key picture of its own accord
    p.keyframeMin = 0;
    p.scenecutThreshold = 0;
    p.bOpenGOP = 0;
    p.bframes = 0;
    p.lookaheadDepth = 0;
    p.maxNumReferences = std::clamp(s.reference_frames, 1, 16);
    p.bRepeatHeaders = 0;
    p.bAnnexB = 1;
    p.bEnableAccessUnitDelimiters = 0;
    p.bEmitInfoSEI = 0;
    p.bEmitHRDSEI = 0;
    apply_colour(p, s.colour);
    apply_rate(p, s);
    const char* profile = s.chroma == ChromaFormat::Yuv444 ? "main444-8" : "main";
    if (x265_param_apply_profile(&p, profile) < 0)
        throw EncoderError(std::string("the configuration does not fit profile ") + profile);
}

void append_nal(std::vector<uint8_t>& out, const x265_nal& nal) {
    out.insert(out.end(), nal.payload, nal.payload + nal.sizeBytes);
}

PictureKind kind_of(int slice_type) {
    if (slice_type == X265_TYPE_IDR)
        return PictureKind::Idr;
    return IS_X265_TYPE_I(slice_type) ? PictureKind::Intra : PictureKind::Predicted;
}

}  // namespace

void HevcEncoder::Closer::operator()(x265_encoder* encoder) const { x265_encoder_close(encoder); }
void HevcEncoder::Closer::operator()(x265_param* params) const { x265_param_free(params); }
void HevcEncoder::Closer::operator()(x265_picture* picture) const { x265_picture_free(picture); }

HevcEncoder::HevcEncoder(const EncoderSettings& settings)
    : settings_(settings), params_(x265_param_alloc()), input_(x265_picture_alloc()) {
    if (!params_ || !input_)
        throw EncoderError("out of memory");
    fill_params(*params_, settings_);
    encoder_.reset(x265_encoder_open(params_.get()));
    if (!encoder_)
        throw EncoderError("the encoder refused the configuration");
    x265_picture_init(params_.get(), input_.get());
    read_parameter_sets();
}

HevcEncoder::~HevcEncoder() = default;

void HevcEncoder::read_parameter_sets() {
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    if (x265_encoder_headers(encoder_.get(), &nals, &count) < 0)
        throw EncoderError("no parameter sets");
    for (uint32_t i = 0; i < count; ++i)
        if (nals[i].type == kNalVps || nals[i].type == kNalSps || nals[i].type == kNalPps)
            append_nal(parameter_sets_, nals[i]);
}

bool HevcEncoder::change_rate(const EncoderSettings& next, const LiveRateChanges& changes) {
    if (!rate_change_allowed(settings_, next, changes))
        return false;
    settings_ = next;
    const auto [lo, hi] = limits(settings_.rate.range);
    next_qp_ = std::clamp(steered_ ? next_qp_ : last_qp_ >= 0 ? last_qp_ : (lo + hi) / 2, lo, hi);
    steered_ = true;
    return true;
}

EncodedPicture HevcEncoder::encode(const PictureView& picture, const PictureRequest& request) {
    x265_picture& in = *input_;
    std::optional<PlanarPicture> planar;
    if (settings_.chroma == ChromaFormat::Yuv444) {
        for (int i = 0; i < 3; ++i) {
            in.planes[i] = const_cast<uint8_t*>(picture.planes[i]);
            in.stride[i] = picture.pitch[i];
        }
    } else {
        planar.emplace(picture, settings_.width, settings_.height);
        for (int i = 0; i < 3; ++i) {
            in.planes[i] = const_cast<uint8_t*>(planar->plane(i));
            in.stride[i] = planar->pitch(i);
        }
    }
    in.sliceType = request.force_idr ? X265_TYPE_IDR : request.force_intra ? X265_TYPE_I : X265_TYPE_AUTO;
    in.pts = request.pts;
    in.forceqp = steered_ ? next_qp_ + 1 : 0;

    x265_nal* nals = nullptr;
    uint32_t count = 0;
    x265_picture out;
    x265_picture_init(params_.get(), &out);
    const int pictures = x265_encoder_encode(encoder_.get(), &nals, &count, &in, &out);
    if (pictures < 0)
        throw EncoderError("encoding failed");
    if (pictures == 0)
        throw EncoderError("the encoder held the picture back");

    EncodedPicture result;
    result.kind = kind_of(out.sliceType);
    if (carries_parameter_sets(settings_, request, result.kind))
        result.data = parameter_sets_;
    for (uint32_t i = 0; i < count; ++i)
        if (nals[i].type != kNalPrefixSei && nals[i].type != kNalSuffixSei && nals[i].type != kNalVps &&
            nals[i].type != kNalSps && nals[i].type != kNalPps)
            append_nal(result.data, nals[i]);
    result.average_qp = static_cast<int>(std::lround(out.frameData.qp));
    last_qp_ = result.average_qp;
    if (steered_) {
        const auto [lo, hi] = limits(settings_.rate.range);
        next_qp_ = steered_quantiser(next_qp_, 8 * static_cast<int>(result.data.size()), settings_, lo, hi);
    }
    return result;
}

}  // namespace tevu::standin::nvenc
