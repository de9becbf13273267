// The encoder core's frame path: the picture staged in page-locked memory, uploaded, converted by the
// kernel, mapped, encoded (again into a larger buffer when it does not fit), locked, handed over and
// released; and the rebuild after a driver logic error.
#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <utility>

#include "api_traits.h"
#include "encoder_core.h"
#include "policy.h"
#include "staging.h"
#include "tables.h"

namespace tevu::nvenc {

// A driver logic error while compressing rebuilds the encoder once and compresses the picture again; a
// second one, or one with `retry` above 0, propagates. Making the context current is not part of what
// the rebuild recovers from: its failure propagates.
EncodedFrame EncoderCore::compress(int quality, int speed, FrameIo& io, int retry) {
    log_.require(bool(cuda_context_), "context is not initialized");
    for (bool rebuilt = false;; rebuilt = true) {
        std::string logic_error;
        {
            cuda::ContextScope scope(cuda_context_);
            try {
                set_encoding_quality(quality);
                set_encoding_speed(speed);
                return compress_once(io);
            } catch (const cuda::LogicError& e) {
                if (retry > 0 || rebuilt) throw;
                logic_error = e.what();
            }
        }
        log_.warn("PyCUDA error: %s", logic_error);
        const StreamConfig saved = config_;
        clean();
        rebuild(saved);
    }
}

EncodedFrame EncoderCore::compress_once(FrameIo& io) {
    const double start = host_.now();
    log_.debug("compress_image(%s, %s)", lazy([&io] { return io.image(); }), lazy([&io] { return io.options(); }));
    struct ReleasePixels {
        FrameIo& io;
        ~ReleasePixels() { io.release_pixels(); }
    } release_pixels{io};
    const FramePicture in = io.read();
    const long long w = in.width, h = in.height, stride = in.stride, timestamp = in.timestamp;
    const uint32_t input_width = config_.input_width(), input_height = config_.input_height();
    const std::size_t input_size = static_cast<std::size_t>(input_pitch_) * input_height;
    log_.require(in.has_pixels, "failed to get pixels from %s", lazy([&io] { return io.image(); }));
    log_.require(bool(session_), "context is not initialized");
    log_.require(in.packed, "invalid number of planes: %s", in.planes);
    log_.require((w & 0xFFFE) <= input_width, "invalid width: %s", w);
    log_.require((h & 0xFFFE) <= input_height, "invalid height: %s", h);
    log_.require(bool(input_buffer_), "BUG: encoder is closed?");
    // The masks above look at 16 bits only: a size beyond them must not pass as a small one.
    if (w <= 0 || h <= 0 || w > 0xFFFF || h > 0xFFFF || stride <= 0 || stride > INT32_MAX)
        raise(EncoderError::Kind::Value, log_.format("invalid image geometry: %sx%s stride=%s", w, h, stride));
    if (frames_ == 0) first_frame_timestamp_ = timestamp;

    // Odd sizes count as the next lower even size; an extra column or row is not encoded.
    const uint32_t width = std::min<uint32_t>(static_cast<uint32_t>(w), input_width);
    const uint32_t height = std::min<uint32_t>(static_cast<uint32_t>(h), input_height);
    const uint32_t source_pitch = stage_picture(in, io);
    io.release_pixels();
    {
        BlockingSection section;
        cuda::memcpy_htod(*cuda_driver(), device_input_buffer_.allocation.address(), input_buffer_.data(), input_size);
    }
    bytes_in_ += input_size;
    log_.debug("compress_image(..) %i bytes of input buffer copied to device", input_size);
    if (config_.buffer_format() == 0) fail(log_.format("bug: invalid pixel format '%s'", config_.pixel_format));
    launch_kernel(width, height, source_pitch);
    const double converted = host_.now();

    retry_pending_releases();
    NV_ENC_MAP_INPUT_RESOURCE map;
    api::reset(map);
    map.registeredResource = output_.registration.get();
    map.mappedBufferFmt = static_cast<NV_ENC_BUFFER_FORMAT>(config_.buffer_format());
    log_.api("nvEncMapInputResource(%#x)", &map);
    check_session(unlocked([&] { return session_.api().nvEncMapInputResource(session_.encoder(), &map); }),
                "mapping input resource");
    MappedInput mapped(session_.ref(), map.mappedResource);
    log_.api("compress_image(..) device buffer mapped to %#x", mapped.get());
    BitstreamLock lock;
    EncodedFrame out;
    double encoded = 0;
    try {
        if (timestamp < first_frame_timestamp_)
            raise(EncoderError::Kind::Overflow, log_.format("timestamp %s is earlier than the first frame's (%s)",
                                                            timestamp, first_frame_timestamp_));
        // From here on the session may hold a picture that the caller never gets: until this one is
        // returned, the next picture must not refer to it.
        const bool idr = force_idr_;
        force_idr_ = true;
        encode_fitting(timestamp_span(timestamp, first_frame_timestamp_), mapped.get(), idr);
        encoded = host_.now();
        log_encoded((encoded - converted) * 1000, io);
        out.bitstream = lock_and_copy(lock);
    } catch (...) {
        if (caught_thread_exit()) throw;
        release_frame(mapped, lock);  // a failure here replaces the one being handled
        throw;
    }
    release_frame(mapped, lock);
    const double downloaded = host_.now();
    log_.debug("compress_image(..) download took %.1f ms", (downloaded - encoded) * 1000);
    read_memory_info();
    out.result = frame_result(timestamp_span(timestamp, first_frame_timestamp_));
    const double end = host_.now();
    ++frames_;
    force_idr_ = false;  // the picture is the caller's now
    last_frame_times_.push_back({start, end});
    if (last_frame_times_.size() > 200) last_frame_times_.pop_front();
    time_ += end - start;
    log_.debug("compress_image(..) %s %s returning %s bytes (%.1f%%), complete compression for frame %s took %.1fms",
               "nvenc", lazy([this] { return host_.describe(HostText::Version); }), out.bitstream.size(),
               100.0 * out.bitstream.size() / input_size, frames_, (end - start) * 1000);
    return out;
}

// The picture's rows into the page-locked staging buffer.
// Returns the pitch of the staged rows, for the kernel.
uint32_t EncoderCore::stage_picture(const FramePicture& in, FrameIo& io) {
    const auto rows = [&in](const PixelBytes& pixels) {
        return ImageRows{pixels.data, pixels.size, static_cast<uint32_t>(in.width),
                         static_cast<uint32_t>(in.height), static_cast<uint32_t>(in.stride)};
    };
    const StagingBuffer target{input_buffer_.data(), input_pitch_, config_.input_height()};
    if (static_cast<uint32_t>(in.stride) <= input_pitch_)
        log_.debug("copying %s pixels from %s into %s, in one shot", in.pixels.size, in.pixel_type,
                   "page-locked buffer");
    else
        log_.debug("copying %s pixels from %s into %s, %i stride at a time", input_pitch_ * in.height, in.pixel_type,
                   "page-locked buffer", input_pitch_);
    StagingResult staged{};
    try {
        if (in.pinned) {
            // The caller keeps these bytes in place while its other threads run.
            BlockingSection section;
            staged = stage_pixels(rows(in.pixels), target);
        } else {
            // Nothing pins them: the host's code run since they were read (the lines above) may have let
            // another thread free them. They are taken again and copied at once, under the host's lock.
            staged = stage_pixels(rows(io.current_pixels()), target);
        }
    } catch (const TooManyPixels& e) {
        fail(e.what());
    } catch (const StagingError& e) {
        raise(EncoderError::Kind::Value, e.what());
    }
    return staged.source_pitch;
}

void EncoderCore::launch_kernel(uint32_t w, uint32_t h, uint32_t source_pitch) {
    const uint32_t d = config_.divisor();
    const cuda::Dim3 block{16, 16, 1};
    const cuda::Dim3 grid{grid_dimension(w, d), grid_dimension(h, d), 1};
    const uint32_t in_w = config_.scaled() ? w : config_.input_width();
    const uint32_t in_h = config_.scaled() ? h : config_.input_height();
    const CUdeviceptr input = device_input_buffer_.allocation.address();
    const CUdeviceptr output = output_.buffer.allocation.address();
    const uint32_t encoder_w = config_.encoder_width(), encoder_h = config_.encoder_height();
    const std::array<uint64_t, 10> values = {input, in_w, in_h, source_pitch, output,
                                             encoder_w, encoder_h, output_.pitch(), w, h};
    if (!kernel_arguments_ || values != kernel_argument_values_) {
        kernel_arguments_.emplace();
        kernel_arguments_->pointer(input)
            .int32(static_cast<int32_t>(in_w))
            .int32(static_cast<int32_t>(in_h))
            .int32(static_cast<int32_t>(source_pitch))
            .pointer(output)
            .int32(static_cast<int32_t>(encoder_w))
            .int32(static_cast<int32_t>(encoder_h))
            .int32(static_cast<int32_t>(output_.pitch()))
            .int32(static_cast<int32_t>(w))
            .int32(static_cast<int32_t>(h));
        kernel_argument_values_ = values;
    }
    const double start = host_.now();
    const auto arguments = lazy([&] {
        return tuple_value(input, in_w, in_h, source_pitch, output, encoder_w, encoder_h, output_.pitch(), w, h);
    });
    log_.debug("calling %s%s with block=%s, grid=%s", output_.kernel_object, arguments,
               lazy([] { return tuple_value(16, 16, 1); }), lazy([&] { return tuple_value(grid.x, grid.y); }));
    {
        BlockingSection section;
        output_.kernel->launch(grid, block, *kernel_arguments_);
    }
    log_.debug("compress_image(..) kernel %s took %.1f ms", output_.kernel_name, (host_.now() - start) * 1000);
}

// One picture: an IDR with the parameter sets when it is the stream's first or `idr` asks for one.
// Returns the driver's status.
int EncoderCore::encode_picture(uint64_t timestamp, NV_ENC_INPUT_PTR mapped, bool idr) {
    NV_ENC_PIC_PARAMS pic{};
    pic.version = api::version_word<NV_ENC_PIC_PARAMS>();
    const bool key = frames_ == 0 || idr;
    pic.inputWidth = config_.encoder_width();
    pic.inputHeight = config_.encoder_height();
    pic.inputPitch = output_.pitch();
    pic.encodePicFlags = frames_ == 0 ? NV_ENC_PIC_FLAG_OUTPUT_SPSPPS
                                      : (idr ? NV_ENC_PIC_FLAG_OUTPUT_SPSPPS | NV_ENC_PIC_FLAG_FORCEIDR : 0);
    pic.frameIdx = frames_;
    pic.inputTimeStamp = timestamp;
    pic.inputBuffer = mapped;
    pic.outputBitstream = bitstream_.get();
    pic.bufferFmt = static_cast<NV_ENC_BUFFER_FORMAT>(config_.buffer_format());
    pic.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    pic.pictureType = key ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P;
    config_.codec->set_picture(pic, frames_, key);
    api::set_picture_rate_control(pic, rate_targets(config_));
    log_.api("nvEncEncodePicture(%#x)", &pic);
    return unlocked([&] { return session_.api().nvEncEncodePicture(session_.encoder(), &pic); });
}

// Encodes the mapped picture. One that does not fit the bitstream buffer is encoded again, as an IDR,
// into a buffer twice the size, up to the most any picture of this size can take.
void EncoderCore::encode_fitting(uint64_t timestamp, NV_ENC_INPUT_PTR mapped, bool idr) {
    int status = encode_picture(timestamp, mapped, idr);
    while (status == NV_ENC_ERR_NOT_ENOUGH_BUFFER && grow_bitstream())
        status = encode_picture(timestamp, mapped, true);  // the session may keep what did not fit
    check_session(status, "error during picture encoding");
}

// Replaces the bitstream buffer with one twice the size; false when it is at its limit already. A
// failure to make the new one raises and keeps the old one.
bool EncoderCore::grow_bitstream() {
    const uint32_t size = grown_bitstream_size(
        bitstream_size_, bitstream_buffer_limit(config_.encoder_width(), config_.encoder_height()));
    if (size == 0) return false;
    log_.debug("compress_image(..) picture too large for the output buffer of %s bytes, growing it to %s",
               bitstream_size_, size);
    BitstreamBuffer previous = std::exchange(bitstream_, create_bitstream(size));
    bitstream_size_ = size;
    if (const int status = previous.release()) {
        log_.warn("could not release the previous output buffer: %s", status_info(status));
        retired_.bitstreams.push_back(std::move(previous));
    }
    return true;
}

std::vector<uint8_t> EncoderCore::lock_and_copy(BitstreamLock& held) {
    NV_ENC_LOCK_BITSTREAM lock;
    api::reset(lock);
    lock.doNotWait = 0;
    lock.outputBitstream = bitstream_.get();
    log_.api("nvEncLockBitstream(%#x) bitstreamBufferPtr=%#x", &lock, lock.bitstreamBufferPtr);
    check_session(unlocked([&] { return session_.api().nvEncLockBitstream(session_.encoder(), &lock); }),
                "locking output buffer");
    held = BitstreamLock(session_.ref(), bitstream_.get());
    if (api::kBitstreamLockedLine) log_.debug(api::kBitstreamLockedLine, lock.bitstreamBufferPtr);
    const auto* bytes = static_cast<const uint8_t*>(lock.bitstreamBufferPtr);
    bytes_out_ += lock.bitstreamSizeInBytes;
    return std::vector<uint8_t>(bytes, bytes + lock.bitstreamSizeInBytes);
}

// The API's debug line of an encoded picture.
void EncoderCore::log_encoded(double milliseconds, FrameIo& io) const {
    if (api::kEncodedLine.with_info)
        log_.debug(api::kEncodedLine.format, milliseconds, lazy([&io] { return io.report(); }));
    else
        log_.debug(api::kEncodedLine.format, milliseconds);
}

// Unlocks (when locked) and unmaps, in that order. A release the driver refuses is kept and retried
// before the next frame and at teardown; its failure is raised.
void EncoderCore::release_frame(MappedInput& mapped, BitstreamLock& lock) {
    int unlock_status = 0;
    if (lock) {
        log_.api("nvEncUnlockBitstream(%#x)", bitstream_.get());
        unlock_status = lock.release();
        if (unlock_status != 0) pending_unlock_ = std::move(lock);
    }
    log_.api("nvEncUnmapInputResource(%#x)", mapped.get());
    const int unmap_status = mapped.release();
    if (unmap_status != 0) pending_unmap_ = std::move(mapped);
    check_session(unlock_status, "unlocking output buffer");
    check_session(unmap_status, "unmapping input resource");
}

void EncoderCore::retry_pending_releases() noexcept {
    pending_unlock_.release();
    pending_unmap_.release();
}

FrameResult EncoderCore::frame_result(uint64_t pts) const {
    FrameResult r;
    r.frame = frames_;
    r.pts = pts;
    r.speed = config_.speed;
    r.quality = config_.lossless ? 100 : std::min(config_.quality, 99);
    r.lossless = config_.lossless;
    r.scaled = config_.scaled();
    r.scaled_width = config_.encoder_width();
    r.scaled_height = config_.encoder_height();
    return r;
}

// The device's free and total memory; a failed query keeps the previous figures (the picture is done).
void EncoderCore::read_memory_info() {
    try {
        const cuda::MemoryInfo memory = cuda::mem_get_info(*cuda_driver());
        free_memory_ = memory.free;
        total_memory_ = memory.total;
    } catch (const cuda::Error& e) {
        log_.warn("could not read the device memory figures: %s", e.what());
    }
}

}  // namespace tevu::nvenc
