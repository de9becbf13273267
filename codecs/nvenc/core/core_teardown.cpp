// The encoder core's teardown: every GPU resource released in order, each step run whatever the earlier
// ones did, the first failure raised at the end; and the figures a host reports of a running encoder.
#include <algorithm>

#include "api_traits.h"
#include "encoder_core.h"

namespace tevu::nvenc {

void EncoderCore::flush_encoder() {
    NV_ENC_PIC_PARAMS pic{};
    pic.version = api::version_word<NV_ENC_PIC_PARAMS>();
    pic.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
    log_.api("nvEncEncodePicture(%#x)", &pic);
    check_session(unlocked([&] { return session_.api().nvEncEncodePicture(session_.encoder(), &pic); }),
                "flushing encoder buffer");
}

// Releases everything held on the GPU, in this order: pending frame releases, the end-of-stream
// picture, the registration, the staging and device buffers, the bitstream buffer and the session.
// Every step runs even when an earlier one failed; `failure` keeps the first failure, and what the
// driver refused to release stays held for another try. A session gets one end-of-stream picture,
// however often its teardown is tried.
void EncoderCore::cuda_clean(FirstFailure& failure) {
    retry_pending_releases();
    if (session_ && frames_ != 0 && !end_of_stream_sent_) {
        end_of_stream_sent_ = true;
        failure.run([&] { flush_encoder(); });
    }
    if (output_.registration && session_) {
        log_.debug("cuda_clean() unregistering CUDA output buffer input handle %#x", output_.registration.get());
        log_.api("nvEncUnregisterResource(%#x)", output_.registration.get());
        keep_failure(failure, output_.registration.release(), "unregistering CUDA input buffer");
    }
    for (RegisteredResource& registration : retired_.registrations)
        keep_failure(failure, registration.release(), "unregistering CUDA input buffer");
    if (input_buffer_) {
        log_.debug("cuda_clean() freeing CUDA host buffer %s",
                   lazy([this] { return staging_buffer_text(); }));
        failure.run([&] { input_buffer_.free(); });
    }
    if (device_input_buffer_.allocation) {
        log_.debug("cuda_clean() freeing CUDA input buffer %#x", device_input_buffer_.allocation.address());
        failure.run([&] { device_input_buffer_.allocation.free(); });
    }
    if (output_.buffer.allocation) {
        log_.debug("cuda_clean() freeing CUDA output buffer %#x", output_.buffer.allocation.address());
        failure.run([&] { output_.buffer.allocation.free(); });
    }
    for (cuda::PitchedAllocation& buffer : retired_.buffers) failure.run([&] { buffer.allocation.free(); });
    release_session(failure);
}

// The bitstream buffer, then the session; the driver releases whatever else the session had.
void EncoderCore::release_session(FirstFailure& failure) {
    if (!session_) return;
    if (bitstream_) {
        log_.debug("cuda_clean() destroying output bitstream buffer %#x", bitstream_.get());
        log_.api("nvEncDestroyBitstreamBuffer(%#x)", bitstream_.get());
        keep_failure(failure, bitstream_.release(), "destroying output buffer");
    }
    for (BitstreamBuffer& bitstream : retired_.bitstreams)
        keep_failure(failure, bitstream.release(), "destroying output buffer");
    log_.debug("cuda_clean() destroying encoder %#x", session_.encoder());
    log_.api("nvEncDestroyEncoder(%#x)", session_.encoder());
    const int status = session_.destroy();
    if (status != 0) {
        keep_failure(failure, status, "destroying context");
        return;
    }
    output_.registration.forget();
    bitstream_.forget();
    pending_unmap_.forget();
    pending_unlock_.forget();
    for (RegisteredResource& registration : retired_.registrations) registration.forget();
    retired_.registrations.clear();
    for (BitstreamBuffer& bitstream : retired_.bitstreams) bitstream.forget();
    retired_.bitstreams.clear();
    cuda_context_ptr_ = nullptr;
    catalogue_ = Catalogue{};
    Value count;  // read once, for both values, and only when the line is kept
    log_.debug("cuda_clean() (still %s context%s in use)",
               lazy([&] { return count = host_.describe(HostText::SessionsInUse); }),
               lazy([&] { return host_.describe(HostText::Plural, count); }));
}

// The context was destroyed, and the driver released its memory with it.
void EncoderCore::forget_context_memory() noexcept {
    input_buffer_.forget();
    device_input_buffer_.allocation.forget();
    output_.buffer.allocation.forget();
    for (cuda::PitchedAllocation& buffer : retired_.buffers) buffer.allocation.forget();
    retired_.buffers.clear();
}

void EncoderCore::clean() {
    log_.debug("clean() cuda_context=%s, encoder context=%#x", lazy([this] { return context_text(); }),
               session_.encoder());
    if (cuda_context_) {
        FirstFailure failure;
        {
            cuda::ContextScope scope(cuda_context_);
            cuda_clean(failure);
            if (failure) cuda_clean(failure);  // one more try for what the driver refused
        }
        kernel_arguments_.reset();
        // A session never outlives its context: when the driver keeps refusing to destroy the session,
        // both stay for the next clean() (or the destructor).
        if (!session_) {
            failure.run([&] { cuda_context_.detach(); });
            if (!cuda_context_) forget_context_memory();
        }
        failure.raise_if_any();
    }
    reset_fields();
}

void EncoderCore::reset_fields() {
    const bool lossless = config_.lossless;
    config_ = StreamConfig{};
    config_.lossless = lossless;
    cuda_info_ = cuda_device_info_ = binding_info_ = Value();
    output_ = OutputStage{};  // released by now
    retired_ = Retired{};
    params_ = SessionParams{};
    free_memory_ = total_memory_ = 0;
    input_pitch_ = 0;
    preset_name_.clear();
    tuning_name_.clear();
    force_idr_ = false;
    bitstream_size_ = 0;
    time_ = 0;
    first_frame_timestamp_ = 0;
    frames_ = 0;
    last_frame_times_.clear();
    bytes_in_ = bytes_out_ = 0;
    kernel_arguments_.reset();
}

// Over the frames that ended in the last 10 seconds.
std::optional<FrameRate> EncoderCore::frame_rate(double t) const {
    std::size_t n = 0;
    double earliest = t, busy = 0;
    for (const FrameTime& f : last_frame_times_) {
        if (f.end <= t - 10) continue;
        ++n;
        earliest = std::min(earliest, f.end);
        busy += f.end - f.start;
    }
    if (n < 1 || t <= earliest) return std::nullopt;
    return FrameRate{static_cast<long long>(n / (t - earliest) + 0.5), static_cast<long long>(1000 * busy / n)};
}

}  // namespace tevu::nvenc
