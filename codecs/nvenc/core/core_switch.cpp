// The encoder core's adaptation: speed and bitrate, the quality's pixel format and lossless mode, and the
// switch of a running session to another format.
#include <cstring>
#include <string>
#include <utility>

#include "api_traits.h"
#include "encoder_core.h"
#include "policy.h"
#include "tables.h"

namespace tevu::nvenc {

void EncoderCore::set_encoding_speed(int speed) {
    if (speed == config_.speed) return;
    config_.speed = speed;
    update_bitrate();
}

void EncoderCore::update_bitrate() {
    const Bitrates b = compute_bitrates(config_.speed, config_.encoder_width(), config_.encoder_height(),
                                        config_.pixel_format == "NV12");
    target_bitrate_ = b.target;
    max_bitrate_ = b.max;
    if (api::kLiveBitrate) apply_rate_control();
}

// Where the API brings a new rate control into a running session: the bitrates and the quality's
// quantiser bounds, written into the configuration the session runs with (its preset and tuning stay),
// reconfigured without a reset or an IDR picture, and only when they differ from the running ones. When
// the session refuses them, it goes on with its rate control, and so do the encoder's figures.
void EncoderCore::apply_rate_control() {
    if (!session_ || !params_.config || config_.lossless) return;
    SessionParams next = copy_params(params_);
    api::set_session_rate_control(*next.config, rate_targets(config_), false, *config_.codec);
    const NV_ENC_RC_PARAMS& running = params_.config->rcParams;
    if (std::memcmp(&next.config->rcParams, &running, sizeof running) == 0) return;
    cuda::ContextScope scope(cuda_context_);
    if (const int status = reconfigure(next, false)) {
        log_driver_message();
        log_.warn("nvenc: could not change the bitrate: %s", nvenc_exception_text("changing the bitrate", status));
        target_bitrate_ = running.averageBitRate;
        max_bitrate_ = running.maxBitRate;
        return;
    }
    params_ = std::move(next);
}

// 4:4:4 and lossless, where the session's codec has them and the host allows them for its encoding.
bool EncoderCore::allows(HostFlag format) const {
    const Codec* codec = config_.codec;
    return codec && codec->has_yuv444() && host_.flag(format, codec->encoding());
}

std::string EncoderCore::target_pixel_format(int quality) const {
    auto accepts = [&](const char* name) { return host_.accepts(config_.dst_formats, name); };
    const bool yuv444 = allows(HostFlag::Yuv444);
    const bool unscaled = config_.scale_num <= 1 && config_.scale_den <= 1;
    if (yuv444 && accepts("YUV444P") &&
        ((quality >= host_.settings().yuv444_threshold && unscaled) || !accepts("YUV420P")))
        return "YUV444P";
    if (accepts("YUV420P")) return "NV12";
    fail("no compatible formats found!");
}

bool EncoderCore::target_lossless(const std::string& pixel_format, int quality) const {
    if (pixel_format != "YUV444P") return false;
    return allows(HostFlag::Lossless) && quality >= host_.settings().lossless_threshold;
}

void EncoderCore::set_encoding_quality(int quality) {
    if (quality == config_.quality) return;
    log_.debug("set_encoding_quality(%s) current quality=%s", quality, config_.quality);
    const int target = target_quality(quality, config_.quality, host_.settings().lossless_threshold);
    config_.quality = quality;
    log_.debug("set_encoding_quality(%s) target quality=%s", quality, target);
    const std::string new_format = target_pixel_format(target);
    const bool new_lossless = target_lossless(new_format, target);
    if (new_format == config_.pixel_format && new_lossless == config_.lossless) {
        log_.debug("set_encoding_quality(%s) keeping current: %s / %s", quality, config_.pixel_format,
                   config_.lossless ? 1 : 0);
        if (api::kLiveBitrate) apply_rate_control();  // the quality's quantiser bounds
        return;
    }
    const double start = host_.now();
    const std::string old_format = config_.pixel_format;
    const bool old_lossless = config_.lossless;
    switch_format(new_format, new_lossless);
    log_.debug("set_encoding_quality(%s) reconfigured from %s / %s to: %s / %s (took %ims)", quality, old_format,
               old_lossless, new_format, new_lossless, static_cast<long long>(1000 * (host_.now() - start)));
}

// Moves the running encoder to a new pixel format or lossless mode: the session's parameters, and when
// the buffer format changes, a new output buffer, its registration and the kernel that fills it. All
// of it is prepared beside the running configuration, which stays in use until every step succeeded.
// A failure leaves the old configuration running; only when the session refuses to go back to it is
// the session closed.
void EncoderCore::switch_format(const std::string& pixel_format, bool lossless) {
    log_.require(bool(session_), "context is not initialized");
    StreamConfig next = config_;
    next.pixel_format = pixel_format;
    next.lossless = lossless;
    cuda::ContextScope scope(cuda_context_);
    SessionParams params = session_params(codec_guid_, next);
    const bool new_stage = next.buffer_format() != config_.buffer_format();
    OutputStage stage;
    if (new_stage) {
        load_kernel(stage, next);
        stage.buffer = allocate_output_buffer(next);
    }
    check_session(reconfigure(params), "reconfiguring encoder");  // the driver keeps the old one when it refuses
    if (new_stage) {
        try {
            stage.registration = register_buffer(stage, next);
        } catch (...) {
            if (caught_thread_exit()) throw;
            restore_session();
            throw;
        }
        std::swap(output_, stage);
        retire(stage);
    }
    config_ = std::move(next);
    name_preset(params);
    params_ = std::move(params);
}

// nvEncReconfigureEncoder, by default with a full reset, after which the next picture is an IDR.
int EncoderCore::reconfigure(const SessionParams& params, bool reset) {
    auto reconfigure = std::make_unique<NV_ENC_RECONFIGURE_PARAMS>();
    api::reset(*reconfigure);
    reconfigure->reInitEncodeParams = *params.init;
    reconfigure->resetEncoder = reset ? 1 : 0;
    reconfigure->forceIDR = reset ? 1 : 0;
    log_.api("nvEncReconfigureEncoder(%#x)", reconfigure.get());
    const int status = unlocked(
        [&] { return session_.api().nvEncReconfigureEncoder(session_.encoder(), reconfigure.get()); });
    if (status == 0 && reset) force_idr_ = true;
    return status;
}

// After a switch failed half-way, with the session already reconfigured: back to the running
// parameters, or, when the session refuses that too, the session closed (the encoder then reports
// itself closed, and clean() releases the rest). Called while the failure is handled; it stays the one
// raised.
void EncoderCore::restore_session() {
    const int status = reconfigure(params_);
    if (status != 0) {
        log_driver_message();
        log_.warn("could not restore the encoder's parameters (%s): closing its session", status_info(status));
        FirstFailure ignored;
        release_session(ignored);
    }
}

// Releases the output stage that a switch replaced. The switch is complete whatever happens here:
// what the driver refuses to release is kept and tried again at teardown.
void EncoderCore::retire(OutputStage& old) {
    if (const int status = old.registration.release()) {
        log_.warn("could not release the previous input buffer registration: %s", status_info(status));
        retired_.registrations.push_back(std::move(old.registration));
    }
    try {
        old.buffer.allocation.free();
    } catch (const cuda::Error& e) {
        log_.warn("could not release the previous output buffer: %s", e.what());
        retired_.buffers.push_back(std::move(old.buffer));
    }
}

}  // namespace tevu::nvenc
