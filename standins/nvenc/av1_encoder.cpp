#include "av1_encoder.h"

#include <aom/aom_encoder.h>
#include <aom/aomcx.h>

#include <algorithm>
#include <string>

namespace tevu::standin::nvenc {
namespace {

constexpr int kHighestQuantiserIndex = 255;
constexpr unsigned kHighestQuantiser = 63;

// libaom's quantiser scale (0 to 63) for a quantiser index: index 4q for q below 63, 255 for 63. Only the
// index 0 is lossless, so only it becomes libaom's 0.
unsigned quantiser_of(int index) {
    const int clamped = std::clamp(index, 0, kHighestQuantiserIndex);
    if (clamped == 0) return 0;
    return std::clamp(static_cast<unsigned>(clamped + 2) / 4, 1u, kHighestQuantiser);
}

// libaom's speed (cpu-used) for the speed preset's name: faster presets, faster speeds.
int speed_of(const std::string& preset) {
    if (preset == "ultrafast" || preset == "superfast")
        return 10;
    if (preset == "veryfast" || preset == "faster")
        return 9;
    return 8;
}

void apply_rate(aom_codec_enc_cfg& c, const RateSettings& rate) {
    const auto [lowest, highest] = quantiser_limits(rate.range, 0, kHighestQuantiserIndex);
    c.rc_min_quantizer = quantiser_of(lowest);
    c.rc_max_quantizer = quantiser_of(highest);
    if (rate.mode == RateControl::ConstQp) {
        c.rc_end_usage = AOM_Q;
        c.rc_min_quantizer = 0;
        c.rc_max_quantizer = kHighestQuantiser;
        return;
    }
    if (rate.average_bitrate == 0)
        throw EncoderError("a bitrate mode needs an average bitrate");
    c.rc_end_usage = rate.mode == RateControl::ConstantBitrate ? AOM_CBR : AOM_VBR;
    c.rc_target_bitrate = std::max(1u, rate.average_bitrate / 1000);
    if (rate.vbv_buffer_size)  // milliseconds at the average rate
        c.rc_buf_sz = std::max(1u, static_cast<unsigned>(uint64_t(rate.vbv_buffer_size) * 1000 / rate.average_bitrate));
}

aom_codec_enc_cfg make_config(const EncoderSettings& s) {
    if (s.chroma != ChromaFormat::Yuv420)
        throw EncoderError("AV1 is encoded in 4:2:0 only");
    if (s.width <= 0 || s.height <= 0 || s.width % 2 || s.height % 2)
        throw EncoderError("invalid picture size");
    if (s.fps_num == 0 || s.fps_den == 0)
        throw EncoderError("invalid frame rate");
    aom_codec_enc_cfg c;
    if (aom_codec_enc_config_default(aom_codec_av1_cx(), &c, AOM_USAGE_REALTIME) != AOM_CODEC_OK)
        throw EncoderError("no default configuration");
    c.g_w = static_cast<unsigned>(s.width);
    c.g_h = static_cast<unsigned>(s.height);
    c.g_timebase = {static_cast<int>(s.fps_den), static_cast<int>(s.fps_num)};
    c.g_threads = 1;
    c.g_lag_in_frames = 0;
    c.g_profile = 0;
    c.rc_dropframe_thresh = 0;
    c.kf_mode = s.keyint > 0 ? AOM_KF_AUTO : AOM_KF_DISABLED;
    if (s.keyint > 0)
        c.kf_max_dist = static_cast<unsigned>(s.keyint);
    apply_rate(c, s.rate);
    return c;
}

void control(aom_codec_ctx_t& context, int id, int value) {
    if (aom_codec_control(&context, id, value) != AOM_CODEC_OK)
        throw EncoderError("the encoder refused control " + std::to_string(id));
}

// The speed, the constant quantiser and the colour description (by H.273's numbers, as the VUI of H.264
// carries them).
void apply_controls(aom_codec_ctx_t& context, const EncoderSettings& s) {
    control(context, AOME_SET_CPUUSED, speed_of(s.speed));
    control(context, AV1E_SET_ROW_MT, 0);
    if (s.rate.mode == RateControl::ConstQp)
        control(context, AOME_SET_CQ_LEVEL, static_cast<int>(quantiser_of(s.rate.const_qp.inter_p)));
    const ColourSignal& colour = s.colour;
    if (colour.colour_description_present) {
        control(context, AV1E_SET_COLOR_PRIMARIES, colour.primaries);
        control(context, AV1E_SET_TRANSFER_CHARACTERISTICS, colour.transfer);
        control(context, AV1E_SET_MATRIX_COEFFICIENTS, colour.matrix);
    }
    control(context, AV1E_SET_COLOR_RANGE, colour.full_range ? 1 : 0);
}

}  // namespace

void Av1Encoder::Closer::operator()(aom_codec_ctx* context) const {
    aom_codec_destroy(context);
    delete context;
}

Av1Encoder::Av1Encoder(const EncoderSettings& settings)
    : settings_(settings), config_(std::make_unique<aom_codec_enc_cfg>(make_config(settings))) {
    auto context = std::make_unique<aom_codec_ctx_t>();
    if (aom_codec_enc_init(context.get(), aom_codec_av1_cx(), config_.get(), 0) != AOM_CODEC_OK)
        throw EncoderError(std::string("the encoder refused the configuration: ") + aom_codec_error_detail(context.get()));
    context_.reset(context.release());
    apply_controls(*context_, settings_);
}

Av1Encoder::~Av1Encoder() = default;

bool Av1Encoder::change_rate(const EncoderSettings& next, const LiveRateChanges& changes) {
    if (!rate_change_allowed(settings_, next, changes) || next.rate.mode != settings_.rate.mode)
        return false;
    aom_codec_enc_cfg wanted = *config_;
    apply_rate(wanted, next.rate);
    if (aom_codec_enc_config_set(context_.get(), &wanted) != AOM_CODEC_OK)
        return false;
    *config_ = wanted;
    settings_ = next;
    return true;
}

EncodedPicture Av1Encoder::encode(const PictureView& picture, const PictureRequest& request) {
    const PlanarPicture planar(picture, settings_.width, settings_.height);
    aom_image_t image;
    if (!aom_img_wrap(&image, AOM_IMG_FMT_I420, config_->g_w, config_->g_h, 1, const_cast<uint8_t*>(planar.plane(0))))
        throw EncoderError("unusable picture");
    for (int i = 0; i < 3; ++i) {
        image.planes[i] = const_cast<uint8_t*>(planar.plane(i));
        image.stride[i] = planar.pitch(i);
    }
    const aom_enc_frame_flags_t flags = request.force_idr || request.force_intra ? AOM_EFLAG_FORCE_KF : 0;
    if (aom_codec_encode(context_.get(), &image, next_pts_++, 1, flags) != AOM_CODEC_OK)
        throw EncoderError(std::string("encoding failed: ") + aom_codec_error_detail(context_.get()));

    EncodedPicture result;
    int units = 0;
    aom_codec_iter_t iterator = nullptr;
    while (const aom_codec_cx_pkt_t* packet = aom_codec_get_cx_data(context_.get(), &iterator)) {
        if (packet->kind != AOM_CODEC_CX_FRAME_PKT)
            continue;
        const auto* bytes = static_cast<const uint8_t*>(packet->data.frame.buf);
        result.data.insert(result.data.end(), bytes, bytes + packet->data.frame.sz);
        if (packet->data.frame.flags & AOM_FRAME_IS_KEY)
            result.kind = PictureKind::Idr;
        ++units;
    }
    if (units != 1)
        throw EncoderError(units ? "more than one temporal unit for a picture" : "the encoder held the picture back");
    int index = 0;
    if (aom_codec_control(context_.get(), AOME_GET_LAST_QUANTIZER, &index) == AOM_CODEC_OK)
        result.average_qp = index;
    return result;
}

}  // namespace tevu::standin::nvenc
