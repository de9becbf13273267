// The Encoder class: set-up on a CUDA device, capability discovery, preset choice, frame compression,
// speed and quality adaptation, teardown and reporting.
//
// Every GPU resource has an owner (the cuda:: owners, and those of nvenc_handles.h), and one teardown
// path releases them all. The stream's configuration is one record (StreamConfig): init_context fills
// it, the recovery rebuild restores it, a format switch moves it to a new pixel format or lossless mode
// only once the session, its buffer and its kernel all agree with the new one, and clean() empties it.
#include "encoder.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api_traits.h"
#include "cuda_layer.h"
#include "guid.h"
#include "nvenc_api.h"
#include "nvenc_handles.h"
#include "policy.h"
#include "preset_choice.h"
#include "staging.h"
#include "tables.h"

namespace tevu::nvenc {
namespace {

using py::text;

constexpr uint32_t kNV12 = NV_ENC_BUFFER_FORMAT_NV12_PL;
constexpr uint32_t kYUV444 = NV_ENC_BUFFER_FORMAT_YUV444_PL;
constexpr long long kMaxDimension = 16384;

struct FrameTime {
    double start;
    double end;
};

// The CUDA driver, opened once for the module's encoders.
const cuda::DriverPtr& driver() {
    static cuda::DriverPtr d = [] {
        cuda::DriverPtr loaded = cuda::Driver::load();
        loaded->init();
        return loaded;
    }();
    return d;
}

Ref guid_value(const GUID& g) { return text(guid_text(g)); }
std::string codec_text(const GUID& g) {
    const std::string t = guid_text(g);
    const char* name = codec_name(t);
    return name ? name : t;
}
std::string preset_text(const GUID& g) {
    const std::string t = guid_text(g);
    const char* name = preset_name(t);
    return name ? name : t;
}
Guid parse_or_fail(const std::string& s) {
    try {
        return parse_guid(s);
    } catch (const GuidFormatError& e) {
        fail(e.what());
    }
}

// The module's Python exception for a CUDA layer failure, with the driver's result code.
void set_cuda_error(const cuda::Error& e) {
    ModuleState& s = state();
    PyObject* type = dynamic_cast<const cuda::MemoryError*>(&e)  ? s.cuda_memory_error.get()
                     : dynamic_cast<const cuda::LogicError*>(&e) ? s.cuda_logic_error.get()
                                                                 : s.cuda_error.get();
    // When even the exception cannot be made, the failure to make it is what stays pending.
    py::guarded_status([&] {
        Ref instance = py::call(type, text(e.what()));
        py::setattr(instance.get(), "code", value(e.code()));
        py::set_error(type, instance.get());
    });
}

// Logs a failed set-up with its traceback and records it against the device; the error stays pending.
void record_setup_failure(int device_id) {
    py::PendingError error;
    log_failure("init_cuda failed");
    py::call(state().host.record_device_failure.get(), value(device_id));
    error.restore();
}

// The module's count of open sessions, once the driver has destroyed one.
void count_destroyed_session() noexcept {
    if (py::guarded_status([] { py::call_method(state().context_counter.get(), "decrease"); }) < 0) py::clear_error();
}

// The first failure of a sequence of steps that must all run (a teardown): later failures are dropped,
// the first one is raised at the end.
class FirstFailure {
public:
    template <class Step>
    void run(Step&& step) {
        try {
            step();
        } catch (const py::ErrorAlreadySet&) {
            keep();
        } catch (const cuda::Error& e) {
            set_cuda_error(e);
            keep();
        }
    }
    // An NVENC status of a step: non-zero is a failure of `what`.
    void status(int code, const char* what) {
        if (code != 0) run([&] { raise_nvenc(code, what); });
    }
    explicit operator bool() const noexcept { return first_ != nullptr; }
    void raise_if_any() {
        if (!first_) return;
        first_->restore();
        first_.reset();
        throw py::ErrorAlreadySet();
    }

private:
    void keep() {
        if (first_)
            py::clear_error();
        else
            first_ = std::make_unique<py::PendingError>();
    }
    std::unique_ptr<py::PendingError> first_;
};

// What a stream is set up with. init_context fills it, the recovery rebuild restores it, a format
// switch moves it to a new pixel format or lossless mode, clean() empties it (keeping `lossless`).
struct StreamConfig {
    uint32_t width = 0, height = 0;
    std::string src_format;
    Ref dst_formats = py::new_list();
    Ref scaling;
    int scale_num = 1, scale_den = 1;
    int speed = 0, quality = 0;
    int device_id = -1;
    Ref cuda_device;
    std::string pixel_format;
    bool lossless = false;

    uint32_t input_width() const { return round_up_32(width); }
    uint32_t input_height() const { return round_up_32(height); }
    uint32_t encoder_width() const { return scaled_dimension(width, scale_num, scale_den); }
    uint32_t encoder_height() const { return scaled_dimension(height, scale_num, scale_den); }
    // Unset scaling (a cleaned encoder) counts as scaled, as it is not (1, 1).
    bool scaled() const { return !scaling || !(scale_num == 1 && scale_den == 1); }
    bool yuv444() const { return pixel_format == "YUV444P"; }
    uint32_t divisor() const { return pixel_format == "NV12" ? 2 : 1; }
    // The NVENC buffer format of the pixel format; 0 when there is none.
    uint32_t buffer_format() const { return yuv444() ? kYUV444 : pixel_format == "NV12" ? kNV12 : 0; }
};

// Where the kernel writes and NVENC reads: the device buffer of one pixel format, its registration with
// the session, and the kernel that fills it. A format switch builds a new one beside the old one.
struct OutputStage {
    cuda::PitchedAllocation buffer;
    RegisteredResource registration;
    Ref kernel_object;  // the host's kernel: keeps its module loaded
    std::optional<cuda::Function> kernel;
    std::string kernel_name;

    uint32_t pitch() const { return static_cast<uint32_t>(buffer.pitch); }
};

// The parameters a session is initialised or reconfigured with, and the name of their preset.
struct SessionParams {
    std::unique_ptr<NV_ENC_INITIALIZE_PARAMS> init;
    std::unique_ptr<NV_ENC_CONFIG> config;
    std::string preset_name;
};

// What a switch replaced and the driver refused to release; tried again at teardown.
struct Retired {
    std::vector<RegisteredResource> registrations;
    std::vector<cuda::PitchedAllocation> buffers;
    std::vector<BitstreamBuffer> bitstreams;
};

// One count-then-list query of the session: `count` fills the number of items, `counted` logs it,
// `list` fills up to that many items and the number returned. The checks are the driver's contract;
// `mismatch`, when given, is the message of a returned count that differs from the count.
template <class T, class Count, class Counted, class List>
std::vector<T> count_and_list(Count&& count, Counted&& counted, uint32_t min_count, List&& list,
                              const char* mismatch = nullptr) {
    uint32_t n = 0;
    count(n);
    counted(n);
    check_assert(n >= min_count && n < 256);
    std::vector<T> items(n);
    uint32_t returned = 0;
    list(items.data(), n, returned);
    if (mismatch)
        check_assert(returned == n, mismatch, n, returned);
    else
        check_assert(returned == n);
    items.resize(std::min(returned, n));
    return items;
}

class Encoder {
public:
    Encoder() = default;
    ~Encoder() {
        py::PendingError outer;  // destruction must not disturb an exception being propagated
        if (py::guarded_status([&] { clean(); }) < 0)
            py::report_unraisable((std::string(api::kModuleName) + ".Encoder.__dealloc__").c_str());
        if (outer) outer.restore();
    }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // host-visible
    void init_context(PyObject* args, PyObject* kwargs);
    void init_buffers();
    Ref compress_image(PyObject* image, int quality, int speed, PyObject* options, int retry);
    void set_encoding_speed(int speed);
    void set_encoding_quality(int quality);
    void update_bitrate();
    std::string target_pixel_format(int quality) const;
    bool target_lossless(const std::string& pixel_format, int quality) const;
    void clean();
    Ref info() const;
    Ref repr() const;
    bool closed() const { return !session_; }
    uint32_t width() const { return config_.width; }
    uint32_t height() const { return config_.height; }
    const std::string& src_format() const { return config_.src_format; }
    // internal, also used by the module initialisation
    int query_encoder_caps(const GUID& codec, int cap);
    const GUID& codec() const { return codec_; }

    // One call at a time: a call on an encoder that is inside another one (made on another thread while
    // that one waits for the driver, or from a method of the image it compresses) is refused before it
    // touches anything, so that nothing is freed or resized under the call in progress.
    class Call {
    public:
        Call(Encoder& encoder, const char* name) : encoder_(encoder) {
            if (encoder.call_in_progress_)
                fail(format("%s: this encoder is busy in %s, an encoder takes one call at a time", name,
                            encoder.call_in_progress_));
            encoder.call_in_progress_ = name;
        }
        ~Call() { encoder_.call_in_progress_ = nullptr; }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        Encoder& encoder_;
    };

private:
    Ref context_text() const;
    // set-up
    void init_cuda();
    void init_cuda_buffers();
    void load_kernel(OutputStage& stage, const StreamConfig& c);
    cuda::PitchedAllocation allocate_output_buffer(const StreamConfig& c);
    void init_nvenc();
    void open_encode_session();
    void init_codec();
    RegisteredResource register_buffer(const OutputStage& stage, const StreamConfig& c);
    GUID get_preset(const GUID& codec, const StreamConfig& c);
    // `name` is null for a preset without one.
    std::unique_ptr<NV_ENC_PRESET_CONFIG> get_preset_config(const char* name, const GUID& encode, const GUID& preset);
    SessionParams session_params(const GUID& codec, const StreamConfig& c);
    void rebuild(const StreamConfig& saved);
    // discovery
    Ref query_codecs(bool full_query = false);
    Ref query_presets(const GUID& codec);
    Ref query_profiles(const GUID& codec);
    Ref query_input_formats(const GUID& codec);
    void dump_caps(const std::string& name, const GUID& codec);
    // frames
    Ref do_compress_image(PyObject* image, PyObject* options);
    int encode_picture(uint64_t timestamp, NV_ENC_INPUT_PTR mapped, bool idr);
    void encode_fitting(uint64_t timestamp, NV_ENC_INPUT_PTR mapped, bool idr);
    bool grow_bitstream();
    BitstreamBuffer create_bitstream(uint32_t size);
    void read_memory_info();
    Ref lock_and_copy(BitstreamLock& lock, uint32_t& size);
    void log_encoded(double milliseconds) const;
    void release_frame(MappedInput& mapped, BitstreamLock& lock);
    void retry_pending_releases() noexcept;
    Ref client_options(uint64_t pts) const;
    void launch_kernel(uint32_t w, uint32_t h, uint32_t source_pitch);
    // adaptation
    void switch_format(const std::string& pixel_format, bool lossless);
    int reconfigure(const SessionParams& params);
    void restore_session();
    void retire(OutputStage& old);
    // teardown
    void cuda_clean(FirstFailure& failure);
    void release_session(FirstFailure& failure);
    void flush_encoder();
    void forget_context_memory() noexcept;
    void reset_fields();
    void add_frame_rate(PyObject* d) const;

    const char* call_in_progress_ = nullptr;  // the host-visible method running, if any
    StreamConfig config_;
    uint32_t target_bitrate_ = 0, max_bitrate_ = 0;
    Ref cuda_info_, pycuda_info_, cuda_device_info_;
    // Owners are declared before what depends on them, so that destruction (reverse order) releases the
    // resources of a session before the session, and everything before the CUDA context.
    cuda::Context cuda_context_;
    void* cuda_context_ptr_ = nullptr;
    Session session_;
    SessionParams params_;  // what the session runs with
    GUID codec_{};
    Ref max_block_sizes_ = py::integer(0), max_grid_sizes_ = py::integer(0);
    uint32_t max_threads_per_block_ = 0;
    uint64_t free_memory_ = 0, total_memory_ = 0;
    cuda::PagelockedBuffer input_buffer_;
    cuda::PitchedAllocation device_input_buffer_;
    uint32_t input_pitch_ = 0;
    OutputStage output_;
    Retired retired_;
    BitstreamBuffer bitstream_;
    uint32_t bitstream_size_ = 0;
    // releases that failed, retried before the next frame and at teardown
    MappedInput pending_unmap_;
    BitstreamLock pending_unlock_;
    std::string codec_name_, preset_name_;
    bool force_idr_ = false;
    bool end_of_stream_sent_ = false;  // by this session's teardown
    double time_ = 0;
    long long first_frame_timestamp_ = 0;
    uint32_t frames_ = 0;
    uint64_t bytes_in_ = 0, bytes_out_ = 0;
    std::deque<FrameTime> last_frame_times_;
    // kernel arguments, kept while their values stay the same (no allocation per frame)
    std::optional<cuda::KernelArguments> kernel_arguments_;
    std::array<uint64_t, 10> kernel_argument_values_{};
};

// --- CUDA side ---------------------------------------------------------------------------------------
Ref Encoder::context_text() const {
    if (!cuda_context_) return py::none();
    return text(format("<CUDA context %#x>", static_cast<void*>(cuda_context_.handle())));
}

void Encoder::init_cuda() {
    require(config_.device_id >= 0 && config_.cuda_device && !py::is_none(config_.cuda_device.get()),
            "no NVENC device found!");
    log_debug("init_cuda() pixel format=%s, device_id=%s", config_.pixel_format, config_.device_id);
    Host& host = state().host;
    PyObject* cuda_device = config_.cuda_device.get();
    const CUdevice handle = static_cast<CUdevice>(py::as_long_long(py::getattr(cuda_device, "handle").get()));
    const cuda::Device device(driver(), handle);
    try {
        log_debug("init_cuda cuda_device=%s (%s)", config_.cuda_device, py::call(host.device_info.get(), cuda_device));
        cuda_context_ = device.make_context(CU_CTX_SCHED_AUTO | CU_CTX_MAP_HOST);
    } catch (const cuda::MemoryError& e) {
        set_module_attr("last_context_failure", py::floating(now()));
        log_debug("init_cuda %s", e.what());
        raise_transient(std::string("could not initialize cuda: ") + e.what());
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
    log_debug("init_cuda cuda_context=%s", context_text());
    cuda_info_ = py::call(host.get_cuda_info.get());
    log_debug("init_cuda cuda info=%s", cuda_info_);
    pycuda_info_ = py::call(host.get_pycuda_info.get());
    log_debug("init_cuda pycuda info=%s", pycuda_info_);
    cuda_device_info_ = py::new_dict();
    py::dict_set(cuda_device_info_.get(), "device.name", text(device.name()));
    py::dict_set(cuda_device_info_.get(), "device.pci_bus_id", text(device.pci_bus_id()));
    py::dict_set(cuda_device_info_.get(), "device.memory",
                 value(static_cast<uint64_t>(device.total_memory() / 1024 / 1024)));
    py::dict_set(cuda_device_info_.get(), "api_version", value(cuda_context_.get_api_version()));
    init_cuda_buffers();
    max_block_sizes_ = py::tuple(value(device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X)),
                                 value(device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y)),
                                 value(device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z)));
    max_grid_sizes_ = py::tuple(value(device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X)),
                                value(device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y)),
                                value(device.get_attribute(CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z)));
    log_debug("max_block_sizes=%s", max_block_sizes_);
    log_debug("max_grid_sizes=%s", max_grid_sizes_);
    max_threads_per_block_ =
        static_cast<uint32_t>(output_.kernel->get_attribute(CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK));
    log_debug("max_threads_per_block=%s", max_threads_per_block_);

    PyObject* ctypes = state().host.ctypes.get();
    Ref pointer = py::call(module_attr("CUcontext").get());
    Ref result = py::call(module_attr("cuCtxGetCurrent").get(), py::call_method(ctypes, "byref", pointer));
    const int r = static_cast<int>(py::as_long_long(result.get()));
    Ref address = py::getattr(pointer.get(), "value");
    cuda_context_ptr_ = py::is_none(address.get())
                            ? nullptr
                            : reinterpret_cast<void*>(static_cast<uintptr_t>(py::as_long_long(address.get())));
    log_api("cuCtxGetCurrent() returned %s, cuda context pointer=%#x", cuda_result_text(r), cuda_context_ptr_);
    require(r == 0, "failed to get current cuda context, cuCtxGetCurrent returned %s", cuda_result_text(r));
}

// The kernel for a pixel format, loaded into the current context.
void Encoder::load_kernel(OutputStage& stage, const StreamConfig& c) {
    const char* name = c.yuv444() ? "BGRA_to_YUV444" : "BGRA_to_NV12";
    Ref pair = csc_function(c.device_id, name);
    Ref kernel_object = py::item(pair.get(), 1);
    require(py::truth(kernel_object.get()), "failed to load %s for device %i", name, c.device_id);
    const auto handle = static_cast<uintptr_t>(py::as_long_long(py::getattr(kernel_object.get(), "handle").get()));
    stage.kernel.emplace(driver(), reinterpret_cast<CUfunction>(handle));
    stage.kernel_object = kernel_object;
    stage.kernel_name = name;
}

cuda::PitchedAllocation Encoder::allocate_output_buffer(const StreamConfig& c) {
    cuda::PitchedAllocation buffer =
        cuda::mem_alloc_pitch(driver(), c.encoder_width(), c.encoder_height() * 3 / c.divisor(), 16);
    log_debug("CUDA Output Buffer=%#x, pitch=%s", buffer.allocation.address(), value(buffer.pitch));
    return buffer;
}

void Encoder::init_cuda_buffers() {
    if (config_.buffer_format() == 0) fail(format("BUG: invalid dst format: %s", config_.pixel_format));
    load_kernel(output_, config_);
    device_input_buffer_ =
        cuda::mem_alloc_pitch(driver(), input_row_bytes(config_.input_width()), config_.input_height(), 16);
    input_pitch_ = static_cast<uint32_t>(device_input_buffer_.pitch);
    log_debug("CUDA Input Buffer=%#x, pitch=%s", device_input_buffer_.allocation.address(), input_pitch_);
    output_.buffer = allocate_output_buffer(config_);
    const std::size_t size = static_cast<std::size_t>(input_pitch_) * config_.input_height();
    input_buffer_ = cuda::pagelocked_zeros(driver(), size);
    log_debug("inputBuffer=%s (size=%s)", format("<page-locked buffer %#x>", input_buffer_.data()), size);
}

// --- NVENC session ------------------------------------------------------------------------------------
void Encoder::open_encode_session() {
    log_debug("open_encode_session() cuda_context=%s, cuda_context_ptr=%#x", context_text(), cuda_context_ptr_);
    auto functions = std::make_unique<NV_ENCODE_API_FUNCTION_LIST>();
    acquire_function_list(functions.get());
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params;
    api::reset(params);
    params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    params.device = cuda_context_ptr_;
    params.apiVersion = api::kVersion;
    auto open = functions->nvEncOpenEncodeSessionEx;
    log_api("calling nvEncOpenEncodeSessionEx @ %#x", reinterpret_cast<void*>(open));
    void* encoder = nullptr;
    const int status = unlocked([&] { return open(&params, &encoder); });
    if (status == NV_ENC_ERR_UNSUPPORTED_DEVICE) {
        const char* message =
            "NV_ENC_ERR_UNSUPPORTED_DEVICE: could not open encode session (out of resources / no more codec contexts?)";
        set_module_attr("last_context_failure", py::floating(now()));
        log_debug(message);
        raise_transient(message);
    }
    if (!encoder) fail("cannot open encoding session, context is NULL");
    check_nvenc(status, "opening session");  // a handle that comes with a failure is not a session
    session_ = Session(std::move(functions), encoder, &count_destroyed_session);
    end_of_stream_sent_ = false;
    py::call_method(state().context_counter.get(), "increase");
    py::call_method(state().context_gen_counter.get(), "increase");
    Ref count = py::call_method(state().context_counter.get(), "get");
    log_debug("success, encoder context=%#x (%s context%s in use)", encoder, count, plural(count));
}

void Encoder::init_nvenc() {
    open_encode_session();
    init_codec();
    SessionParams params = session_params(codec_, config_);
    preset_name_ = params.preset_name;
    log_api("nvEncInitializeEncoder using encode=%s", codec_text(codec_));
    check_nvenc(unlocked([&] { return session_.api().nvEncInitializeEncoder(session_.encoder(), params.init.get()); }),
                "initializing encoder");
    params_ = std::move(params);
    log_debug("NVENC initialized with '%s' codec and '%s' preset", codec_name_, preset_name_);
    dump_caps(codec_name_, codec_);
    init_buffers();
}

RegisteredResource Encoder::register_buffer(const OutputStage& stage, const StreamConfig& c) {
    NV_ENC_REGISTER_RESOURCE r;
    api::reset(r);
    r.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR;
    r.resourceToRegister = reinterpret_cast<void*>(stage.buffer.allocation.address());
    r.width = c.encoder_width();
    r.height = c.encoder_height();
    r.pitch = stage.pitch();
    r.bufferFormat = static_cast<NV_ENC_BUFFER_FORMAT>(c.buffer_format());
    log_api("nvEncRegisterResource(%#x)", &r);
    check_nvenc(unlocked([&] { return session_.api().nvEncRegisterResource(session_.encoder(), &r); }),
                "registering CUDA input buffer");
    log_debug("input handle for CUDA buffer: %#x", r.registeredResource);
    return RegisteredResource(session_.ref(), r.registeredResource);
}

void Encoder::init_buffers() {
    require(bool(session_), "context is not initialized");
    require(!output_.registration && !bitstream_, "the buffers are already initialized");
    require(bool(output_.buffer.allocation), "the CUDA buffers are not allocated");
    output_.registration = register_buffer(output_, config_);
    const uint32_t size = bitstream_buffer_size(config_.encoder_width(), config_.encoder_height());
    bitstream_ = create_bitstream(size);
    bitstream_size_ = size;
}

BitstreamBuffer Encoder::create_bitstream(uint32_t size) {
    NV_ENC_CREATE_BITSTREAM_BUFFER b;
    api::reset(b);
    b.size = size;
    b.memoryHeap = NV_ENC_MEMORY_HEAP_SYSMEM_CACHED;
    log_api("nvEncCreateBitstreamBuffer(%#x)", &b);
    check_nvenc(unlocked([&] { return session_.api().nvEncCreateBitstreamBuffer(session_.encoder(), &b); }),
                "creating output buffer");
    log_debug("output bitstream buffer=%#x", b.bitstreamBuffer);
    return BitstreamBuffer(session_.ref(), b.bitstreamBuffer);
}

// --- discovery ----------------------------------------------------------------------------------------
Ref Encoder::query_codecs(bool full_query) {
    const NV_ENCODE_API_FUNCTION_LIST& f = session_.api();
    void* encoder = session_.encoder();
    const std::vector<GUID> guids = count_and_list<GUID>(
        [&](uint32_t& count) {
            log_api("nvEncGetEncodeGUIDCount(%#x)", &count);
            check_nvenc(unlocked([&] { return f.nvEncGetEncodeGUIDCount(encoder, &count); }), "getting encoder count");
        },
        [&](uint32_t count) { log_debug("found %i encoder%s:", count, plural(value(count))); }, 0,
        [&](GUID* items, uint32_t count, uint32_t& returned) {
            log_api("nvEncGetEncodeGUIDs(%#x, %i, %#x)", items, count, &returned);
            check_nvenc(unlocked([&] { return f.nvEncGetEncodeGUIDs(encoder, items, count, &returned); }),
                        "getting list of encode GUIDs");
        },
        "expected %s items but got %s");
    Ref result = py::new_dict();
    for (std::size_t x = 0; x < guids.size(); ++x) {
        const GUID& g = guids[x];
        const std::string t = guid_text(g);
        const char* name = codec_name(t);
        if (name)
            log_debug("[%s] %s", x, name);
        else
            log_debug("[%s] unknown codec GUID: %s", x, t);
        py::dict_set(result.get(), value(name), text(t));
        // one query after the other, in this order
        const int width_max = query_encoder_caps(g, NV_ENC_CAPS_WIDTH_MAX);
        const int height_max = query_encoder_caps(g, NV_ENC_CAPS_HEIGHT_MAX);
        const int async = query_encoder_caps(g, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT);
        log_debug(" max dimensions: %sx%s (async=%s)", width_max, height_max, async);
        log_debug(" rate control:   %s", query_encoder_caps(g, NV_ENC_CAPS_SUPPORTED_RATECONTROL_MODES));
        if (full_query) {
            log_debug("  presets=%s", query_presets(g));
            log_debug("  profiles=%s", query_profiles(g));
            log_debug("  input formats=%s", query_input_formats(g));
        }
    }
    log_debug("codecs=%s", py::call(state().host.csv.get(), py::dict_keys(result.get())));
    return result;
}

Ref Encoder::query_presets(const GUID& codec) {
    const NV_ENCODE_API_FUNCTION_LIST& f = session_.api();
    void* encoder = session_.encoder();
    const std::vector<GUID> guids = count_and_list<GUID>(
        [&](uint32_t& count) {
            if (state().config.debug_api) log_info("nvEncGetEncodePresetCount(%s, %#x)", codec_text(codec), &count);
            check_nvenc(unlocked([&] { return f.nvEncGetEncodePresetCount(encoder, codec, &count); }),
                        "getting preset count for " + guid_text(codec));
        },
        [&](uint32_t count) { log_debug("found %s preset%s:", count, plural(value(count))); }, 0,
        [&](GUID* items, uint32_t count, uint32_t& returned) {
            log_api("nvEncGetEncodePresetGUIDs(%s, %#x)", codec_text(codec), items);
            check_nvenc(unlocked([&] { return f.nvEncGetEncodePresetGUIDs(encoder, codec, items, count, &returned); }),
                        "getting encode presets");
        });
    Ref result = py::new_dict();
    std::vector<std::string> unknown;
    for (const GUID& g : guids) {
        const std::string t = guid_text(g);
        const char* name = preset_name(t);
        const char* shown = name ? name : "unknown!";
        log_api("* %s : %s", t, shown);
        if (auto config = get_preset_config(name, codec, g)) {
            log_api("presetConfig.presetCfg=%s", value(&config->presetCfg));
            const uint32_t gop = config->presetCfg.gopLength;
            log_debug("* %-20s P frame interval=%i, gop length=%-10s", shown, config->presetCfg.frameIntervalP,
                      gop == NVENC_INFINITE_GOPLENGTH ? value("infinite") : value(gop));
        }
        if (name)
            py::dict_set(result.get(), name, text(t));
        else
            unknown.push_back(t);
    }
    if (!unknown.empty()) {
        std::string joined;
        for (const std::string& u : unknown) joined += (joined.empty() ? "" : ", ") + u;
        log_warn("nvenc: found some unknown presets: %s", joined);
    }
    log_api("query_presets(%s)=%s", codec_text(codec), result);
    return result;
}

Ref Encoder::query_profiles(const GUID& codec) {
    const NV_ENCODE_API_FUNCTION_LIST& f = session_.api();
    void* encoder = session_.encoder();
    const std::vector<GUID> guids = count_and_list<GUID>(
        [&](uint32_t& count) {
            log_api("nvEncGetEncodeProfileGUIDCount(%s, %#x)", codec_text(codec), &count);
            check_nvenc(unlocked([&] { return f.nvEncGetEncodeProfileGUIDCount(encoder, codec, &count); }),
                        "getting profile count");
        },
        [&](uint32_t count) { log_debug("%s profiles:", count); }, 0,
        [&](GUID* items, uint32_t count, uint32_t& returned) {
            log_api("nvEncGetEncodeProfileGUIDs(%s, %#x, %#x)", codec_text(codec), items, &returned);
            check_nvenc(unlocked([&] { return f.nvEncGetEncodeProfileGUIDs(encoder, codec, items, count, &returned); }),
                        "getting encode profiles");
        });
    Ref all = module_attr("CODEC_PROFILES_GUIDS");
    Ref names = py::dict_lookup(all.get(), guid_value(codec).get());
    if (!names) names = py::new_dict();
    Ref result = py::new_dict();
    for (const GUID& g : guids) {
        Ref t = guid_value(g);
        Ref name = value(py::dict_lookup(names.get(), t.get()));
        log_debug("* %s : %s", t, name);
        py::dict_set(result.get(), name, t);
    }
    return result;
}

Ref Encoder::query_input_formats(const GUID& codec) {
    const NV_ENCODE_API_FUNCTION_LIST& f = session_.api();
    void* encoder = session_.encoder();
    const std::vector<NV_ENC_BUFFER_FORMAT> formats = count_and_list<NV_ENC_BUFFER_FORMAT>(
        [&](uint32_t& count) {
            log_api("nvEncGetInputFormatCount(%s, %#x)", codec_text(codec), &count);
            check_nvenc(unlocked([&] { return f.nvEncGetInputFormatCount(encoder, codec, &count); }),
                        "getting input format count");
        },
        [&](uint32_t count) { log_debug("%s input format type%s:", count, plural(value(count))); }, 1,
        [&](NV_ENC_BUFFER_FORMAT* items, uint32_t count, uint32_t& returned) {
            log_api("nvEncGetInputFormats(%s, %#x, %i, %#x)", codec_text(codec), items, count, &returned);
            check_nvenc(unlocked([&] { return f.nvEncGetInputFormats(encoder, codec, items, count, &returned); }),
                        "getting input formats");
        });
    Ref result = py::new_dict();
    for (const NV_ENC_BUFFER_FORMAT format_value : formats) {
        const uint32_t v = format_value;
        log_debug("* %#x", v);
        for (const NumberName& format_name : buffer_formats()) {
            if (format_name.value > 0 && (format_name.value & v) > 0) {
                log_debug(" + %#x : %s", format_name.value, format_name.name);
                py::dict_set(result.get(), format_name.name, text(format("%#x", format_name.value)));
            }
        }
    }
    return result;
}

int Encoder::query_encoder_caps(const GUID& codec, int cap) {
    int result = 0;
    const int ok = py::guarded_status([&] {
        require(bool(session_), "context is not initialized");
        NV_ENC_CAPS_PARAM param;
        api::reset(param);
        param.capsToQuery = static_cast<NV_ENC_CAPS>(cap);
        int v = 0;
        const int status =
            unlocked([&] { return session_.api().nvEncGetEncodeCaps(session_.encoder(), codec, &param, &v); });
        const char* name = caps_name(static_cast<uint32_t>(cap));
        Ref shown = name ? text(name) : value(cap);
        check_nvenc(status, format("getting encode caps for %s", shown));
        log_api("query_encoder_caps(%s, %s) %s=%s", codec_text(codec), cap, shown, v);
        result = v;
    });
    if (ok < 0) {
        py::report_unraisable((std::string(api::kModuleName) + ".Encoder.query_encoder_caps").c_str());
        return 0;
    }
    return result;
}

void Encoder::dump_caps(const std::string& name, const GUID& codec) {
    Ref caps = py::new_dict();
    for (const NumberName& cap : caps_names()) {
        if (cap.value == NV_ENC_CAPS_EXPOSED_COUNT) continue;
        py::dict_set(caps.get(), cap.name, value(query_encoder_caps(codec, static_cast<int>(cap.value))));
    }
    log_debug("caps(%s)=%s", name, caps);
}

// --- codec, preset and parameters ---------------------------------------------------------------------
void Encoder::init_codec() {
    Ref codecs = query_codecs();
    Ref guid = py::dict_get(codecs.get(), codec_name_.c_str());
    require(bool(guid), "%s not supported!?", codec_name_);
    codec_ = parse_or_fail(py::str(guid.get()));
}

GUID Encoder::get_preset(const GUID& codec, const StreamConfig& c) {
    Ref presets = query_presets(codec);
    const PresetCandidates candidates =
        rank_presets({c.speed, c.quality, c.lossless, c.yuv444(), state().config.desired_preset});
    Ref table = py::new_dict();
    for (const auto& [score, names] : candidates) {
        Ref l = py::new_list();
        for (const std::string& n : names) py::list_append(l.get(), text(n));
        py::dict_set(table.get(), value(score), l);
    }
    log_debug("get_preset(%s) speed=%s, quality=%s, lossless=%s, pixel_format=%s, options=%s", codec_text(codec),
              c.speed, c.quality, c.lossless, c.pixel_format, table);
    for (const auto& ranked : candidates) {
        for (const std::string& name : ranked.second) {
            if (name.empty()) continue;
            Ref guid = py::dict_get(presets.get(), name.c_str());
            if (!guid) continue;
            log_debug("using preset '%s' for quality=%s, speed=%s, lossless=%s, pixel_format=%s", name, c.quality,
                      c.speed, c.lossless, c.pixel_format);
            return parse_or_fail(py::str(guid.get()));
        }
    }
    fail(format("no matching presets available for '%s'!?", codec_name_));
}

std::unique_ptr<NV_ENC_PRESET_CONFIG> Encoder::get_preset_config(const char* name, const GUID& encode,
                                                                 const GUID& preset) {
    auto config = std::make_unique<NV_ENC_PRESET_CONFIG>();
    api::reset(*config);
    config->presetCfg.version = api::version_word<NV_ENC_CONFIG>();
    if (state().config.debug_api)
        log_info("nvEncGetEncodePresetConfig(%s, %s)", codec_text(encode), preset_text(preset));
    const int status = session_.api().nvEncGetEncodePresetConfig(session_.encoder(), encode, preset, config.get());
    if (status != 0) {
        const char* t = status_text(status);
        log_warn("failed to get preset config for %s (%s / %s): %s", value(name), guid_text(encode), guid_text(preset),
                 t ? value(t) : value(status));
        return nullptr;
    }
    return config;
}

// The session parameters for a configuration: its preset, size, chroma format and rate control.
SessionParams Encoder::session_params(const GUID& codec, const StreamConfig& c) {
    const GUID preset = get_preset(codec, c);
    SessionParams p{std::make_unique<NV_ENC_INITIALIZE_PARAMS>(), std::make_unique<NV_ENC_CONFIG>(),
                    preset_text(preset)};
    log_debug("init_params(%s) using preset=%s", codec_text(codec), p.preset_name);
    const char* input_format = buffer_format_name(c.buffer_format());
    Ref formats = query_input_formats(codec);
    const bool accepted = input_format && py::dict_get(formats.get(), input_format);
    require(accepted, "%s does not support %s (only: %s)", codec_name_, input_format, formats);
    std::unique_ptr<NV_ENC_PRESET_CONFIG> preset_config = get_preset_config(p.preset_name.c_str(), codec, preset);
    if (!preset_config) fail(format("could not find preset %s", p.preset_name));
    NV_ENC_INITIALIZE_PARAMS& params = *p.init;
    NV_ENC_CONFIG& config = *p.config;
    config = preset_config->presetCfg;
    params.version = api::version_word<NV_ENC_INITIALIZE_PARAMS>();
    params.encodeGUID = codec;
    params.presetGUID = preset;
    params.encodeWidth = params.darWidth = c.encoder_width();
    params.encodeHeight = params.darHeight = c.encoder_height();
    params.frameRateNum = 1;
    params.frameRateDen = 30;
    params.enableEncodeAsync = 0;
    params.enablePTD = 0;
    params.encodeConfig = p.config.get();
    config.gopLength = NVENC_INFINITE_GOPLENGTH;
    config.frameIntervalP = 1;
    config.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
    NV_ENC_CONFIG_H264& h264 = config.encodeCodecConfig.h264Config;
    h264.h264VUIParameters.videoSignalTypePresentFlag = 0;
    h264.h264VUIParameters.colourDescriptionPresentFlag = 0;
    h264.chromaFormatIDC = c.yuv444() ? NVENC_CHROMA_FORMAT_IDC_444 : NVENC_CHROMA_FORMAT_IDC_420;
    api::set_session_rate_control(config, {target_bitrate_, max_bitrate_, c.quality}, c.lossless);
    return p;
}

// --- set-up entry -------------------------------------------------------------------------------------
// init_context's source format: one of the module's input colourspaces for the encoding.
void check_source_format(PyObject* src_format, PyObject* encoding) {
    Ref accepted = py::call(module_attr("get_input_colorspaces").get(), encoding);
    if (!py::is_text(src_format))
        py::raise(PyExc_TypeError, format("init_context: src_format must be one of %s, not %s", accepted,
                                          Py_TYPE(src_format)->tp_name));
    if (!py::contains(accepted.get(), src_format))
        py::raise(PyExc_ValueError,
                  format("init_context: invalid src_format %r, it must be one of %s", src_format, accepted));
}

// The "cuda_device" option of init_context: -1 for any device, or a device number (a C int, as the
// driver numbers devices). A number no device has is the host's to handle: it chooses another device.
int preferred_cuda_device(PyObject* options) {
    static const char* const expected = "-1 (any device) or a device number from 0 to 2147483647";
    Ref preferred = py::call_method(options, "get", text("cuda_device"), value(-1));
    if (!py::is_integer(preferred.get()))
        py::raise(PyExc_TypeError, format("init_context: the cuda_device option must be %s, not %s", expected,
                                          Py_TYPE(preferred.get())->tp_name));
    int overflow = 0;
    const long long device = PyLong_AsLongLongAndOverflow(preferred.get(), &overflow);
    if (device == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet();
    if (overflow || device < -1 || device > INT_MAX)
        py::raise(PyExc_ValueError,
                  format("init_context: invalid cuda_device %s, it must be %s", preferred, expected));
    return static_cast<int>(device);
}

void Encoder::init_context(PyObject* args, PyObject* kwargs) {
    static const char* const kwlist[] = {"width", "height", "src_format", "dst_formats", "encoding",
                                         "quality", "speed", "scaling", "options", nullptr};
    static PyObject* shared_options = py::new_dict().release();
    int width = 0, height = 0, quality = 0, speed = 0;
    PyObject *src_format = nullptr, *dst_formats = nullptr, *encoding = nullptr, *scaling = nullptr;
    PyObject* options = shared_options;
    py::parse_args(args, kwargs, "iiOOOiiO|O:init_context", kwlist, &width, &height, &src_format, &dst_formats,
                   &encoding, &quality, &speed, &scaling, &options);
    Ref encodings = py::call(module_attr("get_encodings").get());
    check_assert(py::contains(encodings.get(), encoding), "invalid encoding %s", encoding);
    check_assert(!py::is_none(module_attr("NvEncodeAPICreateInstance").get()), "encoder module is not initialized");
    // A set-up over another one would lose track of its session and buffers.
    if (session_ || cuda_context_)
        fail("init_context: this encoder is already initialized, call clean() before setting it up again");
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension)
        py::raise(PyExc_ValueError, format("invalid dimensions: %sx%s", width, height));
    check_source_format(src_format, encoding);
    const int preferred_device = preferred_cuda_device(options);
    log_debug("init_context%s", py::tuple(value(width), value(height), src_format, dst_formats, encoding,
                                          value(quality), value(speed), scaling, options));
    StreamConfig c;
    c.width = static_cast<uint32_t>(width);
    c.height = static_cast<uint32_t>(height);
    c.speed = speed;
    c.quality = quality;
    c.scaling = py::truth(scaling) ? Ref::borrow(scaling) : py::tuple(value(1), value(1));
    const auto [num, den] = py::integer_pair(c.scaling.get(), "scaling");
    auto fits = [num = num, den = den](long long v) { return v * num / den >= 1 && v * num / den <= kMaxDimension; };
    if (num <= 0 || den <= 0 || num > INT_MAX || den > INT_MAX || !fits(width) || !fits(height))
        py::raise(PyExc_ValueError, format("invalid scaling: %s", c.scaling));
    c.scale_num = static_cast<int>(num);
    c.scale_den = static_cast<int>(den);
    c.src_format = py::str(src_format);
    c.dst_formats = Ref::borrow(dst_formats);
    c.lossless = config_.lossless;
    config_ = c;
    codec_name_ = "H264";
    preset_name_.clear();
    frames_ = 0;
    last_frame_times_.clear();
    update_bitrate();
    const double start = now();
    config_.pixel_format = target_pixel_format(config_.quality);
    config_.lossless = target_lossless(config_.pixel_format, config_.quality);
    Ref kw = py::new_dict();
    py::dict_set(kw.get(), "min_compute", min_compute());
    Ref selected = py::call_kw(state().host.select_device.get(), py::tuple(value(preferred_device)), kw);
    auto [number, device] = py::sequence_pair(selected.get(), "the selected device");
    config_.device_id = static_cast<int>(py::as_long_long(number.get()));
    config_.cuda_device = device;
    log_debug("using %s %s compression at %s%% quality with pixel format %s on device %s",
              config_.lossless ? "lossless" : "lossy", encoding, config_.quality, config_.pixel_format,
              py::call(state().host.device_info.get(), config_.cuda_device));
    try {
        init_cuda();
        init_nvenc();
        py::call(state().host.record_device_success.get(), value(config_.device_id));
    } catch (const cuda::Error& e) {
        set_cuda_error(e);
        record_setup_failure(config_.device_id);
        throw py::ErrorAlreadySet();
    } catch (const py::ErrorAlreadySet&) {
        record_setup_failure(config_.device_id);
        throw;
    }
    log_debug("init_context%s took %1.fms",
              py::tuple(value(config_.width), value(config_.height), src_format, value(config_.quality),
                        value(config_.speed), options),
              (now() - start) * 1000.0);
}

// The recovery after a driver logic error: the same configuration on a new context and session. A
// rebuild that fails leaves the encoder closed rather than half set up.
void Encoder::rebuild(const StreamConfig& saved) {
    config_ = saved;  // the bitrate figures stay as they were: clean() keeps them
    codec_name_ = "H264";
    try {
        init_cuda();
        init_nvenc();
    } catch (...) {
        if (py::caught_thread_exit()) throw;
        py::PendingError failure;  // empty for a C++ exception
        if (py::guarded_status([&] { clean(); }) < 0) py::clear_error();
        if (failure) failure.restore();
        throw;
    }
}

// --- adaptation ---------------------------------------------------------------------------------------
void Encoder::set_encoding_speed(int speed) {
    if (speed == config_.speed) return;
    config_.speed = speed;
    update_bitrate();
}

void Encoder::update_bitrate() {
    const Bitrates b = compute_bitrates(config_.speed, config_.encoder_width(), config_.encoder_height(),
                                        config_.pixel_format == "NV12");
    target_bitrate_ = b.target;
    max_bitrate_ = b.max;
}

std::string Encoder::target_pixel_format(int quality) const {
    auto accepts = [&](const char* name) {
        return py::contains(config_.dst_formats.get(), text(name).get());
    };
    const bool yuv444 = py::truth(module_attr("YUV444_ENABLED").get());
    const bool unscaled = config_.scale_num <= 1 && config_.scale_den <= 1;
    if (yuv444 && accepts("YUV444P") &&
        ((quality >= state().config.yuv444_threshold && unscaled) || !accepts("YUV420P")))
        return "YUV444P";
    if (accepts("YUV420P")) return "NV12";
    fail("no compatible formats found!");
}

bool Encoder::target_lossless(const std::string& pixel_format, int quality) const {
    if (pixel_format != "YUV444P") return false;
    return py::truth(module_attr("LOSSLESS_ENABLED").get()) && quality >= state().config.lossless_threshold;
}

void Encoder::set_encoding_quality(int quality) {
    if (quality == config_.quality) return;
    log_debug("set_encoding_quality(%s) current quality=%s", quality, config_.quality);
    const int target = target_quality(quality, config_.quality, state().config.lossless_threshold);
    config_.quality = quality;
    log_debug("set_encoding_quality(%s) target quality=%s", quality, target);
    const std::string new_format = target_pixel_format(target);
    const bool new_lossless = target_lossless(new_format, target);
    if (new_format == config_.pixel_format && new_lossless == config_.lossless) {
        log_debug("set_encoding_quality(%s) keeping current: %s / %s", quality, config_.pixel_format,
                  config_.lossless ? 1 : 0);
        return;
    }
    const double start = now();
    const std::string old_format = config_.pixel_format;
    const bool old_lossless = config_.lossless;
    switch_format(new_format, new_lossless);
    log_debug("set_encoding_quality(%s) reconfigured from %s / %s to: %s / %s (took %ims)", quality, old_format,
              old_lossless, new_format, new_lossless, static_cast<long long>(1000 * (now() - start)));
}

// Moves the running encoder to a new pixel format or lossless mode: the session's parameters, and when
// the buffer format changes, a new output buffer, its registration and the kernel that fills it. All
// of it is prepared beside the running configuration, which stays in use until every step succeeded.
// A failure leaves the old configuration running; only when the session refuses to go back to it is
// the session closed.
void Encoder::switch_format(const std::string& pixel_format, bool lossless) {
    require(bool(session_), "context is not initialized");
    StreamConfig next = config_;
    next.pixel_format = pixel_format;
    next.lossless = lossless;
    cuda::ContextScope scope(cuda_context_);
    SessionParams params = session_params(codec_, next);
    const bool new_stage = next.buffer_format() != config_.buffer_format();
    OutputStage stage;
    if (new_stage) {
        load_kernel(stage, next);
        stage.buffer = allocate_output_buffer(next);
    }
    check_nvenc(reconfigure(params), "reconfiguring encoder");  // the driver keeps the old one when it refuses
    if (new_stage) {
        try {
            stage.registration = register_buffer(stage, next);
        } catch (const py::ErrorAlreadySet&) {
            restore_session();
            throw;
        }
        std::swap(output_, stage);
        retire(stage);
    }
    config_ = std::move(next);
    preset_name_ = params.preset_name;
    params_ = std::move(params);
}

// nvEncReconfigureEncoder with a full reset; the next picture is an IDR.
int Encoder::reconfigure(const SessionParams& params) {
    auto reconfigure = std::make_unique<NV_ENC_RECONFIGURE_PARAMS>();
    api::reset(*reconfigure);
    reconfigure->reInitEncodeParams = *params.init;
    reconfigure->resetEncoder = 1;
    reconfigure->forceIDR = 1;
    log_api("nvEncReconfigureEncoder(%#x)", reconfigure.get());
    const int status = unlocked(
        [&] { return session_.api().nvEncReconfigureEncoder(session_.encoder(), reconfigure.get()); });
    if (status == 0) force_idr_ = true;
    return status;
}

// After a switch failed half-way, with the session already reconfigured: back to the running
// parameters, or, when the session refuses that too, the session closed (the encoder then reports
// itself closed, and clean() releases the rest). The pending failure stays pending.
void Encoder::restore_session() {
    py::PendingError failure;
    const int status = reconfigure(params_);
    if (status != 0) {
        log_warn("could not restore the encoder's parameters (%s): closing its session", value(status_info(status)));
        FirstFailure ignored;
        release_session(ignored);
    }
    failure.restore();
}

// Releases the output stage that a switch replaced. The switch is complete whatever happens here:
// what the driver refuses to release is kept and tried again at teardown.
void Encoder::retire(OutputStage& old) {
    if (const int status = old.registration.release()) {
        log_warn("could not release the previous input buffer registration: %s", value(status_info(status)));
        retired_.registrations.push_back(std::move(old.registration));
    }
    try {
        old.buffer.allocation.free();
    } catch (const cuda::Error& e) {
        log_warn("could not release the previous output buffer: %s", e.what());
        retired_.buffers.push_back(std::move(old.buffer));
    }
}

// --- frames -------------------------------------------------------------------------------------------
// A driver logic error while compressing rebuilds the encoder once and compresses the image again; a
// second one, or one with `retry` above 0, propagates. Making the context current is not part of what
// the rebuild recovers from: its failure propagates.
Ref Encoder::compress_image(PyObject* image, int quality, int speed, PyObject* options, int retry) {
    require(bool(cuda_context_), "context is not initialized");
    for (bool rebuilt = false;; rebuilt = true) {
        std::string logic_error;
        {
            cuda::ContextScope scope(cuda_context_);
            try {
                set_encoding_quality(quality);
                set_encoding_speed(speed);
                return do_compress_image(image, options);
            } catch (const cuda::LogicError& e) {
                if (retry > 0 || rebuilt) throw;
                logic_error = e.what();
            }
        }
        log_warn("PyCUDA error: %s", logic_error);
        const StreamConfig saved = config_;
        clean();
        rebuild(saved);
    }
}

void Encoder::launch_kernel(uint32_t w, uint32_t h, uint32_t source_pitch) {
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
    const double start = now();
    log_debug("calling %s%s with block=%s, grid=%s", output_.kernel_object,
              py::tuple(value(input), value(in_w), value(in_h), value(source_pitch), value(output), value(encoder_w),
                        value(encoder_h), value(output_.pitch()), value(w), value(h)),
              py::tuple(value(16), value(16), value(1)), py::tuple(value(grid.x), value(grid.y)));
    {
        py::GilRelease release;
        output_.kernel->launch(grid, block, *kernel_arguments_);
    }
    log_debug("compress_image(..) kernel %s took %.1f ms", output_.kernel_name, (now() - start) * 1000);
}

// One picture: an IDR with the parameter sets when it is the stream's first or `idr` asks for one.
// Returns the driver's status.
int Encoder::encode_picture(uint64_t timestamp, NV_ENC_INPUT_PTR mapped, bool idr) {
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
    NV_ENC_PIC_PARAMS_H264& h264 = pic.codecPicParams.h264PicParams;
    h264.displayPOCSyntax = 2 * frames_;
    h264.refPicFlag = key ? 1 : 0;
    h264.sliceMode = NVENC_SLICE_MODE_COUNT;
    h264.sliceModeData = 1;
    api::set_picture_rate_control(pic, {target_bitrate_, max_bitrate_, config_.quality});
    log_api("nvEncEncodePicture(%#x)", &pic);
    return unlocked([&] { return session_.api().nvEncEncodePicture(session_.encoder(), &pic); });
}

// Encodes the mapped picture. One that does not fit the bitstream buffer is encoded again, as an IDR,
// into a buffer twice the size, up to the most any picture of this size can take.
void Encoder::encode_fitting(uint64_t timestamp, NV_ENC_INPUT_PTR mapped, bool idr) {
    int status = encode_picture(timestamp, mapped, idr);
    while (status == NV_ENC_ERR_NOT_ENOUGH_BUFFER && grow_bitstream())
        status = encode_picture(timestamp, mapped, true);  // the session may keep what did not fit
    check_nvenc(status, "error during picture encoding");
}

// Replaces the bitstream buffer with one twice the size; false when it is at its limit already. A
// failure to make the new one raises and keeps the old one.
bool Encoder::grow_bitstream() {
    const uint32_t size = grown_bitstream_size(
        bitstream_size_, bitstream_buffer_limit(config_.encoder_width(), config_.encoder_height()));
    if (size == 0) return false;
    log_debug("compress_image(..) picture too large for the output buffer of %s bytes, growing it to %s", bitstream_size_,
              size);
    BitstreamBuffer previous = std::exchange(bitstream_, create_bitstream(size));
    bitstream_size_ = size;
    if (const int status = previous.release()) {
        log_warn("could not release the previous output buffer: %s", value(status_info(status)));
        retired_.bitstreams.push_back(std::move(previous));
    }
    return true;
}

Ref Encoder::lock_and_copy(BitstreamLock& held, uint32_t& size) {
    NV_ENC_LOCK_BITSTREAM lock;
    api::reset(lock);
    lock.doNotWait = 0;
    lock.outputBitstream = bitstream_.get();
    log_api("nvEncLockBitstream(%#x) bitstreamBufferPtr=%#x", &lock, lock.bitstreamBufferPtr);
    check_nvenc(unlocked([&] { return session_.api().nvEncLockBitstream(session_.encoder(), &lock); }),
                "locking output buffer");
    held = BitstreamLock(session_.ref(), bitstream_.get());
    if (api::kBitstreamLockedLine) log_debug(api::kBitstreamLockedLine, lock.bitstreamBufferPtr);
    size = lock.bitstreamSizeInBytes;
    bytes_out_ += size;
    return py::bytes(lock.bitstreamBufferPtr, size);
}

// The API's debug line of an encoded picture.
void Encoder::log_encoded(double milliseconds) const {
    if (api::kEncodedLine.with_info)
        log_debug(api::kEncodedLine.format, milliseconds, info());
    else
        log_debug(api::kEncodedLine.format, milliseconds);
}

// Unlocks (when locked) and unmaps, in that order. A release the driver refuses is kept and retried
// before the next frame and at teardown; its failure is raised.
void Encoder::release_frame(MappedInput& mapped, BitstreamLock& lock) {
    int unlock_status = 0;
    if (lock) {
        log_api("nvEncUnlockBitstream(%#x)", bitstream_.get());
        unlock_status = lock.release();
        if (unlock_status != 0) pending_unlock_ = std::move(lock);
    }
    log_api("nvEncUnmapInputResource(%#x)", mapped.get());
    const int unmap_status = mapped.release();
    if (unmap_status != 0) pending_unmap_ = std::move(mapped);
    check_nvenc(unlock_status, "unlocking output buffer");
    check_nvenc(unmap_status, "unmapping input resource");
}

void Encoder::retry_pending_releases() noexcept {
    pending_unlock_.release();
    pending_unmap_.release();
}

Ref Encoder::client_options(uint64_t pts) const {
    Ref o = py::new_dict();
    py::dict_set(o.get(), "frame", value(frames_));
    py::dict_set(o.get(), "pts", value(pts));
    py::dict_set(o.get(), "speed", value(config_.speed));
    py::dict_set(o.get(), "quality", value(config_.lossless ? 100 : std::min(config_.quality, 99)));
    if (config_.lossless) py::dict_set(o.get(), "lossless", py::boolean(true));
    if (config_.scaled())
        py::dict_set(o.get(), "scaled_size", py::tuple(value(config_.encoder_width()), value(config_.encoder_height())));
    return o;
}

// What compress_image takes from the image, all of it read before any of the encoder's state, so that
// the image's methods (Python code) run before the encoder relies on its sizes and buffers.
struct ImageInput {
    long long width = 0, height = 0, stride = 0, timestamp = 0;
    Ref pixels, planes;
    bool packed = false;
    std::optional<py::BufferView> view;  // the pixels, held while they are copied
};

void read_image(PyObject* image, ImageInput& in) {
    in.width = py::as_long_long(py::call_method(image, "get_width").get());
    in.height = py::as_long_long(py::call_method(image, "get_height").get());
    in.pixels = py::call_method(image, "get_pixels");
    in.stride = py::as_long_long(py::call_method(image, "get_rowstride").get());
    in.planes = py::call_method(image, "get_planes");
    in.packed = py::equal(in.planes.get(), state().host.packed.get());
    in.timestamp = py::as_long_long(py::call_method(image, "get_timestamp").get());
    if (!py::is_none(in.pixels.get())) in.view.emplace(in.pixels.get());
}

Ref Encoder::do_compress_image(PyObject* image, PyObject* options) {
    const double start = now();
    log_debug("compress_image(%s, %s)", image, options);
    ImageInput in;
    read_image(image, in);
    const long long w = in.width, h = in.height, stride = in.stride, timestamp = in.timestamp;
    const uint32_t input_width = config_.input_width(), input_height = config_.input_height();
    const std::size_t input_size = static_cast<std::size_t>(input_pitch_) * input_height;
    require(in.view.has_value(), "failed to get pixels from %s", image);
    require(bool(session_), "context is not initialized");
    require(in.packed, "invalid number of planes: %s", in.planes);
    require((w & 0xFFFE) <= input_width, "invalid width: %s", w);
    require((h & 0xFFFE) <= input_height, "invalid height: %s", h);
    require(bool(input_buffer_), "BUG: encoder is closed?");
    // The masks above look at 16 bits only: a size beyond them must not pass as a small one.
    if (w <= 0 || h <= 0 || w > 0xFFFF || h > 0xFFFF || stride <= 0 || stride > INT32_MAX)
        py::raise(PyExc_ValueError, format("invalid image geometry: %sx%s stride=%s", w, h, stride));
    if (frames_ == 0) first_frame_timestamp_ = timestamp;

    // Odd sizes count as the next lower even size; an extra column or row is not encoded.
    const uint32_t width = std::min<uint32_t>(static_cast<uint32_t>(w), input_width);
    const uint32_t height = std::min<uint32_t>(static_cast<uint32_t>(h), input_height);
    StagingResult staged{};
    {
        const py::BufferView& view = *in.view;
        const ImageRows rows{static_cast<const uint8_t*>(view.data()), view.size(), static_cast<uint32_t>(w),
                             static_cast<uint32_t>(h), static_cast<uint32_t>(stride)};
        const StagingBuffer target{input_buffer_.data(), input_pitch_, input_height};
        Ref pixel_type = py::type_of(in.pixels.get());
        if (static_cast<uint32_t>(stride) <= input_pitch_)
            log_debug("copying %s pixels from %s into %s, in one shot", value(view.size()), pixel_type,
                      "page-locked buffer");
        else
            log_debug("copying %s pixels from %s into %s, %i stride at a time", value(input_pitch_ * h), pixel_type,
                      "page-locked buffer", input_pitch_);
        try {
            if (view.pinned()) {
                // The exporter keeps these bytes in place while the view lives: other threads may run.
                py::GilRelease release;
                staged = stage_pixels(rows, target);
            } else {
                // Nothing pins them: another thread could free them as soon as the lock is released.
                staged = stage_pixels(rows, target);
            }
        } catch (const TooManyPixels& e) {
            fail(e.what());
        } catch (const StagingError& e) {
            py::raise(PyExc_ValueError, e.what());
        }
        in.view.reset();
    }
    {
        py::GilRelease release;
        cuda::memcpy_htod(*driver(), device_input_buffer_.allocation.address(), input_buffer_.data(), input_size);
    }
    bytes_in_ += input_size;
    log_debug("compress_image(..) %i bytes of input buffer copied to device", input_size);
    if (config_.buffer_format() == 0) fail(format("bug: invalid pixel format '%s'", config_.pixel_format));
    launch_kernel(width, height, staged.source_pitch);
    const double converted = now();

    retry_pending_releases();
    NV_ENC_MAP_INPUT_RESOURCE map;
    api::reset(map);
    map.registeredResource = output_.registration.get();
    map.mappedBufferFmt = static_cast<NV_ENC_BUFFER_FORMAT>(config_.buffer_format());
    log_api("nvEncMapInputResource(%#x)", &map);
    check_nvenc(unlocked([&] { return session_.api().nvEncMapInputResource(session_.encoder(), &map); }),
                "mapping input resource");
    MappedInput mapped(session_.ref(), map.mappedResource);
    log_api("compress_image(..) device buffer mapped to %#x", mapped.get());
    BitstreamLock lock;
    Ref data;
    uint32_t size = 0;
    double encoded = 0;
    try {
        if (timestamp < first_frame_timestamp_)
            py::raise(PyExc_OverflowError, format("timestamp %s is earlier than the first frame's (%s)", timestamp,
                                                  first_frame_timestamp_));
        // From here on the session may hold a picture that the caller never gets: until this one is
        // returned, the next picture must not refer to it.
        const bool idr = force_idr_;
        force_idr_ = true;
        encode_fitting(timestamp_span(timestamp, first_frame_timestamp_), mapped.get(), idr);
        encoded = now();
        log_encoded((encoded - converted) * 1000);
        data = lock_and_copy(lock, size);
    } catch (...) {
        if (py::caught_thread_exit()) throw;
        py::PendingError pending;  // empty for a C++ exception
        release_frame(mapped, lock);  // a failure here replaces the pending one
        if (pending) pending.restore();
        throw;
    }
    release_frame(mapped, lock);
    const double downloaded = now();
    log_debug("compress_image(..) download took %.1f ms", (downloaded - encoded) * 1000);
    read_memory_info();
    Ref result_options = client_options(timestamp_span(timestamp, first_frame_timestamp_));
    Ref result = py::tuple(data, result_options);
    const double end = now();
    ++frames_;
    force_idr_ = false;  // the picture is the caller's now
    last_frame_times_.push_back({start, end});
    if (last_frame_times_.size() > 200) last_frame_times_.pop_front();
    time_ += end - start;
    log_debug("compress_image(..) %s %s returning %s bytes (%.1f%%), complete compression for frame %s took %.1fms",
              "nvenc", py::call(module_attr("get_version").get()), value(size), 100.0 * size / input_size, frames_,
              (end - start) * 1000);
    return result;
}

// The device's free and total memory; a failed query keeps the previous figures (the picture is done).
void Encoder::read_memory_info() {
    try {
        const cuda::MemoryInfo memory = cuda::mem_get_info(*driver());
        free_memory_ = memory.free;
        total_memory_ = memory.total;
    } catch (const cuda::Error& e) {
        log_warn("could not read the device memory figures: %s", e.what());
    }
}

// --- teardown -----------------------------------------------------------------------------------------
void Encoder::flush_encoder() {
    NV_ENC_PIC_PARAMS pic{};
    pic.version = api::version_word<NV_ENC_PIC_PARAMS>();
    pic.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
    log_api("nvEncEncodePicture(%#x)", &pic);
    check_nvenc(unlocked([&] { return session_.api().nvEncEncodePicture(session_.encoder(), &pic); }),
                "flushing encoder buffer");
}

// Releases everything held on the GPU, in this order: pending frame releases, the end-of-stream
// picture, the registration, the staging and device buffers, the bitstream buffer and the session.
// Every step runs even when an earlier one failed; `failure` keeps the first failure, and what the
// driver refused to release stays held for another try. A session gets one end-of-stream picture,
// however often its teardown is tried.
void Encoder::cuda_clean(FirstFailure& failure) {
    retry_pending_releases();
    if (session_ && frames_ != 0 && !end_of_stream_sent_) {
        end_of_stream_sent_ = true;
        failure.run([&] { flush_encoder(); });
    }
    if (output_.registration && session_) {
        log_debug("cuda_clean() unregistering CUDA output buffer input handle %#x", output_.registration.get());
        log_api("nvEncUnregisterResource(%#x)", output_.registration.get());
        failure.status(output_.registration.release(), "unregistering CUDA input buffer");
    }
    for (RegisteredResource& registration : retired_.registrations)
        failure.status(registration.release(), "unregistering CUDA input buffer");
    if (input_buffer_) {
        log_debug("cuda_clean() freeing CUDA host buffer %s", format("<page-locked buffer %#x>", input_buffer_.data()));
        failure.run([&] { input_buffer_.free(); });
    }
    if (device_input_buffer_.allocation) {
        log_debug("cuda_clean() freeing CUDA input buffer %#x", device_input_buffer_.allocation.address());
        failure.run([&] { device_input_buffer_.allocation.free(); });
    }
    if (output_.buffer.allocation) {
        log_debug("cuda_clean() freeing CUDA output buffer %#x", output_.buffer.allocation.address());
        failure.run([&] { output_.buffer.allocation.free(); });
    }
    for (cuda::PitchedAllocation& buffer : retired_.buffers) failure.run([&] { buffer.allocation.free(); });
    release_session(failure);
}

// The bitstream buffer, then the session; the driver releases whatever else the session had.
void Encoder::release_session(FirstFailure& failure) {
    if (!session_) return;
    if (bitstream_) {
        log_debug("cuda_clean() destroying output bitstream buffer %#x", bitstream_.get());
        log_api("nvEncDestroyBitstreamBuffer(%#x)", bitstream_.get());
        failure.status(bitstream_.release(), "destroying output buffer");
    }
    for (BitstreamBuffer& bitstream : retired_.bitstreams)
        failure.status(bitstream.release(), "destroying output buffer");
    log_debug("cuda_clean() destroying encoder %#x", session_.encoder());
    log_api("nvEncDestroyEncoder(%#x)", session_.encoder());
    const int status = session_.destroy();
    if (status != 0) {
        failure.status(status, "destroying context");
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
    Ref count = py::call_method(state().context_counter.get(), "get");
    log_debug("cuda_clean() (still %s context%s in use)", count, plural(count));
}

// The context was destroyed, and the driver released its memory with it.
void Encoder::forget_context_memory() noexcept {
    input_buffer_.forget();
    device_input_buffer_.allocation.forget();
    output_.buffer.allocation.forget();
    for (cuda::PitchedAllocation& buffer : retired_.buffers) buffer.allocation.forget();
    retired_.buffers.clear();
}

void Encoder::clean() {
    log_debug("clean() cuda_context=%s, encoder context=%#x", context_text(), session_.encoder());
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

void Encoder::reset_fields() {
    const bool lossless = config_.lossless;
    config_ = StreamConfig{};
    config_.lossless = lossless;
    cuda_info_ = cuda_device_info_ = pycuda_info_ = Ref();
    output_ = OutputStage{};  // released by now
    retired_ = Retired{};
    params_ = SessionParams{};
    max_block_sizes_ = max_grid_sizes_ = py::integer(0);
    max_threads_per_block_ = 0;
    free_memory_ = total_memory_ = 0;
    input_pitch_ = 0;
    codec_name_.clear();
    preset_name_.clear();
    force_idr_ = false;
    bitstream_size_ = 0;
    time_ = 0;
    first_frame_timestamp_ = 0;
    frames_ = 0;
    last_frame_times_.clear();
    bytes_in_ = bytes_out_ = 0;
    kernel_arguments_.reset();
}

// "fps" and "ms_per_frame" over the frames that ended in the last 10 seconds.
void Encoder::add_frame_rate(PyObject* d) const {
    const double t = now();
    std::size_t n = 0;
    double earliest = t, busy = 0;
    for (const FrameTime& f : last_frame_times_) {
        if (f.end <= t - 10) continue;
        ++n;
        earliest = std::min(earliest, f.end);
        busy += f.end - f.start;
    }
    if (n >= 1 && t > earliest) {
        py::dict_set(d, "fps", value(static_cast<long long>(n / (t - earliest) + 0.5)));
        py::dict_set(d, "ms_per_frame", value(static_cast<long long>(1000 * busy / n)));
    }
}

Ref Encoder::info() const {
    Ref d = module_info();
    PyObject* p = d.get();
    const StreamConfig& c = config_;
    py::dict_set(p, "width", value(c.width));
    py::dict_set(p, "height", value(c.height));
    py::dict_set(p, "frames", value(frames_));
    py::dict_set(p, "codec", text(codec_name_));
    py::dict_set(p, "encoder_width", value(c.encoder_width()));
    py::dict_set(p, "encoder_height", value(c.encoder_height()));
    py::dict_set(p, "bitrate", value(target_bitrate_));
    py::dict_set(p, "quality", value(c.quality));
    py::dict_set(p, "speed", value(c.speed));
    py::dict_set(p, "lossless", value(c.lossless ? 1 : 0));
    py::dict_set(p, "lossless.supported", module_attr("LOSSLESS_ENABLED"));
    py::dict_set(p, "lossless.threshold", value(state().config.lossless_threshold));
    py::dict_set(p, "yuv444.supported", module_attr("YUV444_ENABLED"));
    py::dict_set(p, "yuv444.threshold", value(state().config.yuv444_threshold));
    if (c.scaled()) {
        py::dict_set(p, "input_width", value(c.input_width()));
        py::dict_set(p, "input_height", value(c.input_height()));
        py::dict_set(p, "scaling", value(c.scaling));
    }
    PyObject* updict = state().host.updict.get();
    py::call(updict, d, text("cuda"), value(cuda_device_info_));
    py::call(updict, d, text("cuda"), value(cuda_info_));
    py::call(updict, d, text("pycuda"), value(pycuda_info_));
    if (!c.src_format.empty()) py::dict_set(p, "src_format", text(c.src_format));
    if (!c.pixel_format.empty()) py::dict_set(p, "pixel_format", text(c.pixel_format));
    if (bytes_in_ && bytes_out_) {
        py::dict_set(p, "bytes_in", value(bytes_in_));
        py::dict_set(p, "bytes_out", value(bytes_out_));
        py::dict_set(p, "ratio_pct", value(static_cast<long long>(100.0 * bytes_out_ / bytes_in_)));
    }
    if (!preset_name_.empty()) py::dict_set(p, "preset", text(preset_name_));
    py::dict_set(p, "total_time_ms", value(static_cast<long long>(time_ * 1000)));
    if (frames_ && time_ > 0)
        py::dict_set(p, "pixels_per_second",
                     value(static_cast<long long>(static_cast<double>(c.width) * c.height * frames_ / time_)));
    py::dict_set(p, "free_memory", value(free_memory_));
    py::dict_set(p, "total_memory", value(total_memory_));
    if (total_memory_)
        py::dict_set(p, "free_memory_pct", value(static_cast<long long>(100.0 * free_memory_ / total_memory_)));
    add_frame_rate(p);
    return d;
}

Ref Encoder::repr() const {
    return text(format("nvenc(%s/%s - %s - %sx%s)", config_.src_format, config_.pixel_format, preset_name_,
                       config_.width, config_.height));
}

// --- Python binding -----------------------------------------------------------------------------------
using Type = py::ExtType<Encoder>;

void no_arguments(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* const none[] = {nullptr};
    py::parse_args(args, kwargs, format, none);
}
int one_integer(PyObject* args, PyObject* kwargs, const char* format, const char* name) {
    const char* const kwlist[] = {name, nullptr};
    int v = 0;
    py::parse_args(args, kwargs, format, kwlist, &v);
    return v;
}

template <Ref (*F)(Encoder&, PyObject*, PyObject*), const char* Name>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        try {
            Encoder& encoder = Type::cast(self);
            const Encoder::Call call(encoder, Name);
            return F(encoder, args, kwargs);
        } catch (const cuda::Error& e) {
            set_cuda_error(e);
            throw py::ErrorAlreadySet();
        }
    });
}

Ref m_init_context(Encoder& e, PyObject* a, PyObject* k) {
    e.init_context(a, k);
    return py::none();
}
Ref m_init_buffers(Encoder& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":init_buffers");
    e.init_buffers();
    return py::none();
}
Ref m_compress_image(Encoder& e, PyObject* a, PyObject* k) {
    static const char* const kwlist[] = {"image", "quality", "speed", "options", "retry", nullptr};
    static PyObject* shared_options = py::new_dict().release();
    PyObject* image = nullptr;
    PyObject* options = shared_options;
    int quality = -1, speed = -1, retry = 0;
    py::parse_args(a, k, "O|iiOi:compress_image", kwlist, &image, &quality, &speed, &options, &retry);
    return e.compress_image(image, quality, speed, options, retry);
}
Ref m_set_encoding_speed(Encoder& e, PyObject* a, PyObject* k) {
    e.set_encoding_speed(one_integer(a, k, "i:set_encoding_speed", "speed"));
    return py::none();
}
Ref m_set_encoding_quality(Encoder& e, PyObject* a, PyObject* k) {
    e.set_encoding_quality(one_integer(a, k, "i:set_encoding_quality", "quality"));
    return py::none();
}
Ref m_update_bitrate(Encoder& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":update_bitrate");
    e.update_bitrate();
    return py::none();
}
Ref m_get_target_pixel_format(Encoder& e, PyObject* a, PyObject* k) {
    return text(e.target_pixel_format(one_integer(a, k, "i:get_target_pixel_format", "quality")));
}
Ref m_get_target_lossless(Encoder& e, PyObject* a, PyObject* k) {
    static const char* const kwlist[] = {"pixel_format", "quality", nullptr};
    PyObject* pixel_format = nullptr;
    int quality = 0;
    py::parse_args(a, k, "Oi:get_target_lossless", kwlist, &pixel_format, &quality);
    return py::boolean(e.target_lossless(py::str(pixel_format), quality));
}
Ref m_clean(Encoder& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":clean");
    e.clean();
    return py::none();
}
Ref m_get_info(Encoder& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_info");
    return e.info();
}
Ref m_is_closed(Encoder& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":is_closed");
    return py::boolean(e.closed());
}
Ref m_get_width(Encoder& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_width");
    return value(e.width());
}
Ref m_get_height(Encoder& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_height");
    return value(e.height());
}
Ref m_get_type(Encoder&, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_type");
    return text("nvenc");
}
Ref m_get_encoding(Encoder&, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_encoding");
    return text("h264");
}
Ref m_get_src_format(Encoder& e, PyObject* a, PyObject* k) {
    no_arguments(a, k, ":get_src_format");
    return text(e.src_format());
}

PyObject* encoder_repr(PyObject* self) {
    return py::guarded([&] { return Type::cast(self).repr(); });
}

// The host-visible methods, each bound as m_<name>.
#define TEVU_ENCODER_METHODS(X)                                                                                \
    X(init_context) X(init_buffers) X(compress_image) X(set_encoding_speed) X(set_encoding_quality)            \
    X(update_bitrate) X(get_target_pixel_format) X(get_target_lossless) X(clean) X(get_info) X(is_closed)     \
    X(get_width) X(get_height) X(get_type) X(get_encoding) X(get_src_format)
#define TEVU_METHOD_NAME(name) constexpr char name##_name[] = #name;
TEVU_ENCODER_METHODS(TEVU_METHOD_NAME)
#define TEVU_METHOD(name) \
    {#name, py::cfunction(&method<m_##name, name##_name>), METH_VARARGS | METH_KEYWORDS, nullptr},
PyMethodDef encoder_methods[] = {
    TEVU_ENCODER_METHODS(TEVU_METHOD)
    {nullptr, nullptr, 0, nullptr},
};


}  // namespace

int encoder_capability(PyObject* encoder, int cap) {
    Encoder& e = Type::cast(encoder);
    return e.query_encoder_caps(e.codec(), cap);
}

void register_encoder_type(PyObject* module) {
    static const std::string name = std::string(api::kModuleName) + ".Encoder";
    PyTypeObject* t = Type::define(name.c_str(), encoder_methods, &encoder_repr, "an NVENC H.264 encoding context");
    py::add_object(module, "Encoder", Ref::borrow(reinterpret_cast<PyObject*>(t)));
}

}  // namespace tevu::nvenc
