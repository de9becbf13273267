// The encoder core's set-up: the stream's configuration, the CUDA context on the host's device, the
// kernel and buffers of the frame path; and the rebuild after a driver logic error.
#include <string>

#include "encoder_core.h"
#include "policy.h"

namespace tevu::nvenc {

const cuda::DriverPtr& cuda_driver() {
    static cuda::DriverPtr d = [] {
        cuda::DriverPtr loaded = cuda::Driver::load();
        loaded->init();
        return loaded;
    }();
    return d;
}

uint32_t StreamConfig::input_width() const { return round_up_32(width); }
uint32_t StreamConfig::input_height() const { return round_up_32(height); }
uint32_t StreamConfig::encoder_width() const { return scaled_dimension(width, scale_num, scale_den); }
uint32_t StreamConfig::encoder_height() const { return scaled_dimension(height, scale_num, scale_den); }

EncoderCore::EncoderCore(EncoderHost& host) : host_(host), log_(host) {}

Value EncoderCore::context_text() const {
    if (!cuda_context_) return Value();
    return Value::text(log_.format("<CUDA context %#x>", static_cast<void*>(cuda_context_.handle())));
}

Value EncoderCore::staging_buffer_text() const {
    return Value::text(log_.format("<page-locked buffer %#x>", input_buffer_.data()));
}

// A set-up over another one would lose track of its session and buffers.
void EncoderCore::check_not_set_up() const {
    if (set_up()) fail("init_context: this encoder is already initialized, call clean() before setting it up again");
}

void EncoderCore::init_context(const StreamRequest& r) {
    check_not_set_up();
    const Codec* codec = find_codec(r.encoding_name);
    if (!codec) raise(EncoderError::Kind::Value, "init_context: invalid encoding '" + r.encoding_name + "'");
    StreamConfig c;
    c.width = r.width;
    c.height = r.height;
    c.speed = r.speed;
    c.quality = r.quality;
    c.scaling_set = true;
    c.scaling = r.scaling;
    c.scale_num = r.scale_num;
    c.scale_den = r.scale_den;
    c.src_format = r.src_format;
    c.dst_formats = r.dst_formats;
    c.encoding = r.encoding;
    c.codec = codec;
    set_up_codec_ = codec;
    c.lossless = config_.lossless;
    config_ = c;
    preset_name_.clear();
    frames_ = 0;
    last_frame_times_.clear();
    update_bitrate();
    config_.pixel_format = target_pixel_format(config_.quality);
    config_.lossless = target_lossless(config_.pixel_format, config_.quality);
    const SelectedDevice selected = host_.select_device(r.preferred_device);
    config_.device_id = selected.number;
    config_.cuda_device = selected.device;
    log_.debug("using %s %s compression at %s%% quality with pixel format %s on device %s",
               config_.lossless ? "lossless" : "lossy", config_.encoding, config_.quality, config_.pixel_format,
               lazy([this] { return host_.describe(HostText::DeviceInfo, value(config_.cuda_device)); }));
    auto record_failure = [&] {
        host_.log_sink().log_failure("init_cuda failed");
        host_.record_device(config_.device_id, DeviceEvent::Failure);
    };
    try {
        init_cuda();
        init_nvenc();
        host_.record_device(config_.device_id, DeviceEvent::Success);
    } catch (const EncoderError&) {
        record_failure();
        throw;
    } catch (const cuda::Error&) {
        record_failure();
        throw;
    } catch (const HostFailure&) {
        record_failure();
        throw;
    }
}

void EncoderCore::init_cuda() {
    log_.require(config_.device_id >= 0 && config_.cuda_device, "no NVENC device found!");
    log_.debug("init_cuda() pixel format=%s, device_id=%s", config_.pixel_format, config_.device_id);
    const CUdevice handle = host_.device_handle(config_.cuda_device);
    const cuda::Device device(cuda_driver(), handle);
    try {
        log_.debug("init_cuda cuda_device=%s (%s)", config_.cuda_device,
                   lazy([this] { return host_.describe(HostText::DeviceInfo, value(config_.cuda_device)); }));
        cuda_context_ = device.make_context(CU_CTX_SCHED_AUTO | CU_CTX_MAP_HOST);
    } catch (const cuda::MemoryError& e) {
        host_.record_device(config_.device_id, DeviceEvent::OutOfResources);
        log_.debug("init_cuda %s", e.what());
        raise(EncoderError::Kind::Transient, std::string("could not initialize cuda: ") + e.what());
    }
    // The new context is current: whatever follows, leave it popped.
    struct PopOnExit {
        const cuda::Context& context;
        ~PopOnExit() {
            try {
                context.pop();
            } catch (const cuda::Error&) {
            }
        }
    } pop{cuda_context_};
    log_.debug("init_cuda cuda_context=%s", lazy([this] { return context_text(); }));
    cuda_info_ = host_.describe(HostText::CudaInfo);
    log_.debug("init_cuda cuda info=%s", cuda_info_);
    binding_info_ = host_.describe(HostText::BindingInfo);
    log_.debug("init_cuda pycuda info=%s", binding_info_);
    Value facts = Value::dict();
    facts.set(value("device.name"), value(device.name()));
    facts.set(value("device.pci_bus_id"), value(device.pci_bus_id()));
    facts.set(value("device.memory"), value(static_cast<uint64_t>(device.total_memory() / 1024 / 1024)));
    facts.set(value("api_version"), value(cuda_context_.get_api_version()));
    cuda_device_info_ = facts;
    init_cuda_buffers();
    log_.debug("max_block_sizes=%s", tuple_value(device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X),
                                                 device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y),
                                                 device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z)));
    log_.debug("max_grid_sizes=%s", tuple_value(device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X),
                                                device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y),
                                                device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z)));
    log_.debug("max_threads_per_block=%s",
               static_cast<uint32_t>(output_.kernel->get_attribute(CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK)));
    const CurrentContext current = host_.current_context();
    cuda_context_ptr_ = current.pointer;
    const auto result_text = lazy([&] { return host_.describe(HostText::CudaResult, value(current.result)); });
    log_.api("cuCtxGetCurrent() returned %s, cuda context pointer=%#x", result_text, cuda_context_ptr_);
    log_.require(current.result == 0, "failed to get current cuda context, cuCtxGetCurrent returned %s", result_text);
}

// The kernel for a pixel format, loaded into the current context.
void EncoderCore::load_kernel(OutputStage& stage, const StreamConfig& c) {
    const char* name = c.yuv444() ? "BGRA_to_YUV444" : "BGRA_to_NV12";
    const HostKernel kernel = host_.kernel(c.device_id, name);
    log_.require(bool(kernel.object), "failed to load %s for device %i", name, c.device_id);
    stage.kernel.emplace(cuda_driver(), kernel.function);
    stage.kernel_object = kernel.object;
    stage.kernel_name = name;
}

cuda::PitchedAllocation EncoderCore::allocate_output_buffer(const StreamConfig& c) {
    cuda::PitchedAllocation buffer =
        cuda::mem_alloc_pitch(cuda_driver(), c.encoder_width(), c.encoder_height() * 3 / c.divisor(), 16);
    log_.debug("CUDA Output Buffer=%#x, pitch=%s", buffer.allocation.address(), buffer.pitch);
    return buffer;
}

void EncoderCore::init_cuda_buffers() {
    if (config_.buffer_format() == 0) fail(log_.format("BUG: invalid dst format: %s", config_.pixel_format));
    load_kernel(output_, config_);
    device_input_buffer_ =
        cuda::mem_alloc_pitch(cuda_driver(), input_row_bytes(config_.input_width()), config_.input_height(), 16);
    input_pitch_ = static_cast<uint32_t>(device_input_buffer_.pitch);
    log_.debug("CUDA Input Buffer=%#x, pitch=%s", device_input_buffer_.allocation.address(), input_pitch_);
    output_.buffer = allocate_output_buffer(config_);
    const std::size_t size = static_cast<std::size_t>(input_pitch_) * config_.input_height();
    input_buffer_ = cuda::pagelocked_zeros(cuda_driver(), size);
    log_.debug("inputBuffer=%s (size=%s)", lazy([this] { return staging_buffer_text(); }), size);
}

// The recovery after a driver logic error: the same configuration on a new context and session. A
// rebuild that fails leaves the encoder closed rather than half set up.
void EncoderCore::rebuild(const StreamConfig& saved) {
    config_ = saved;  // the bitrate figures stay as they were: clean() keeps them
    try {
        init_cuda();
        init_nvenc();
    } catch (...) {
        if (caught_thread_exit()) throw;
        try {
            clean();
        } catch (...) {
            if (caught_thread_exit()) throw;
        }
        throw;
    }
}

}  // namespace tevu::nvenc
