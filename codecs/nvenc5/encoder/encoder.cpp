// The Encoder class: set-up on a CUDA device, capability discovery, preset choice, frame compression,
// speed and quality adaptation, teardown and reporting; and the module initialisation that tests it.
#include "encoder.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cuda_layer.h"
#include "guid.h"
#include "nvenc_api.h"
#include "policy.h"
#include "staging.h"
#include "tables.h"

namespace tevu::nvenc {
namespace {

using py::text;

constexpr uint32_t kNV12 = NV_ENC_BUFFER_FORMAT_NV12_PL;
constexpr uint32_t kYUV444 = NV_ENC_BUFFER_FORMAT_YUV444_PL;

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

// An NVENC call with the interpreter lock released.
template <class F>
int unlocked(F&& call) {
    py::GilRelease release;
    return static_cast<int>(call());
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
    if (py::guarded_status([&] {
            Ref instance = py::call(type, text(e.what()));
            py::setattr(instance.get(), "code", value(e.code()));
            PyErr_SetObject(type, instance.get());
        }) < 0)
        return;
}

// Logs a failed set-up with its traceback and records it against the device; the error stays pending.
void record_setup_failure(int device_id) {
    py::PendingError error;
    log_failure("init_cuda failed");
    py::call(state().host.record_device_failure.get(), value(device_id));
    error.restore();
}

// The configuration that a rebuild restores.
struct Setup {
    uint32_t width, height;
    std::string src_format;
    Ref dst_formats, scaling;
    int scale_num, scale_den, speed, quality, device_id;
    Ref cuda_device;
    std::string pixel_format;
    bool lossless;
};

class Encoder {
public:
    Encoder() { last_frame_times_.clear(); }
    ~Encoder() {
        py::PendingError outer;  // destruction must not disturb an exception being propagated
        if (py::guarded_status([&] { clean(); }) < 0) py::report_unraisable("Encoder.__dealloc__");
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
    bool closed() const { return context_ == nullptr; }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    const std::string& src_format() const { return src_format_; }
    // internal, also used by the module initialisation
    int query_encoder_caps(const GUID& codec, int cap);
    const GUID& codec() const { return codec_; }

private:
    bool scaled() const { return !(scale_num_ == 1 && scale_den_ == 1); }
    uint32_t divisor() const { return pixel_format_ == "NV12" ? 2 : 1; }
    Ref context_text() const;
    // set-up
    void init_cuda();
    void init_cuda_buffers();
    void init_nvenc();
    void open_encode_session();
    void init_codec();
    GUID get_preset(const GUID& codec);
    std::unique_ptr<NV_ENC_PRESET_CONFIG> get_preset_config(const std::string& name, const GUID& encode,
                                                            const GUID& preset);
    std::unique_ptr<NV_ENC_CONFIG> init_params(const GUID& codec, NV_ENC_INITIALIZE_PARAMS& params);
    void load_kernel();
    void allocate_output_buffer();
    void register_output_buffer();
    // discovery
    Ref query_codecs(bool full_query = false);
    Ref query_presets(const GUID& codec);
    Ref query_profiles(const GUID& codec);
    Ref query_input_formats(const GUID& codec);
    void dump_caps(const std::string& name, const GUID& codec);
    // frames
    Ref do_compress_image(PyObject* image, PyObject* options);
    void encode_picture(uint64_t timestamp, NV_ENC_INPUT_PTR mapped);
    Ref lock_and_copy(bool& locked);
    void release_frame(NV_ENC_INPUT_PTR mapped, bool locked);
    void retry_pending_releases();
    Ref client_options(long long pts) const;
    void launch_kernel(uint32_t w, uint32_t h, uint32_t source_pitch);
    // adaptation
    void apply_format(const std::string& pixel_format, bool lossless);
    // teardown
    void cuda_clean();
    void flush_encoder();
    void release_rest() noexcept;
    void reset_fields();
    void add_frame_rate(PyObject* d) const;
    Setup saved_setup() const;
    void rebuild(const Setup& setup);

    uint32_t width_ = 0, height_ = 0, input_width_ = 0, input_height_ = 0, encoder_width_ = 0,
             encoder_height_ = 0;
    std::string src_format_;
    Ref dst_formats_ = py::new_list();
    Ref scaling_;
    int scale_num_ = 1, scale_den_ = 1;
    int speed_ = 0, quality_ = 0;
    uint32_t target_bitrate_ = 0, max_bitrate_ = 0;
    int device_id_ = 0;
    Ref cuda_info_, pycuda_info_, cuda_device_info_, cuda_device_;
    cuda::Context cuda_context_;
    void* cuda_context_ptr_ = nullptr;
    Ref kernel_object_;  // the host's kernel: keeps its module loaded
    std::optional<cuda::Function> kernel_;
    std::string kernel_name_;
    Ref max_block_sizes_ = py::integer(0), max_grid_sizes_ = py::integer(0);
    uint32_t max_threads_per_block_ = 0;
    uint64_t free_memory_ = 0, total_memory_ = 0;
    std::unique_ptr<NV_ENCODE_API_FUNCTION_LIST> function_list_;
    void* context_ = nullptr;
    GUID codec_{};
    NV_ENC_REGISTERED_PTR input_handle_ = nullptr;
    cuda::PagelockedBuffer input_buffer_;
    cuda::PitchedAllocation device_input_buffer_, device_output_buffer_;
    uint32_t input_pitch_ = 0, output_pitch_ = 0;
    NV_ENC_OUTPUT_PTR bitstream_buffer_ = nullptr;
    uint32_t buffer_format_ = 0;
    std::string codec_name_, preset_name_, pixel_format_;
    bool lossless_ = false;
    bool force_idr_ = false;
    // releases that failed, retried before the next frame and at teardown
    NV_ENC_INPUT_PTR pending_unmap_ = nullptr;
    bool pending_unlock_ = false;
    double time_ = 0;
    long long first_frame_timestamp_ = 0;
    uint32_t frames_ = 0;
    uint64_t bytes_in_ = 0, bytes_out_ = 0;
    std::deque<FrameTime> last_frame_times_;
    // kernel arguments, kept while the image geometry stays the same (no allocation per frame)
    std::optional<cuda::KernelArguments> kernel_arguments_;
    uint32_t kernel_geometry_[5] = {};
};

// --- CUDA side ---------------------------------------------------------------------------------------
Ref Encoder::context_text() const {
    if (!cuda_context_) return py::none();
    return text(format("<CUDA context %#x>", static_cast<void*>(cuda_context_.handle())));
}

void Encoder::init_cuda() {
    check_assert(device_id_ >= 0 && cuda_device_ && cuda_device_.get() != Py_None, "no NVENC device found!");
    log_debug("init_cuda() pixel format=%s, device_id=%s", pixel_format_, device_id_);
    Host& host = state().host;
    const CUdevice handle = static_cast<CUdevice>(py::as_long_long(py::getattr(cuda_device_.get(), "handle").get()));
    const cuda::Device device(driver(), handle);
    try {
        log_debug("init_cuda cuda_device=%s (%s)", cuda_device_, py::call(host.device_info.get(), cuda_device_));
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
    max_threads_per_block_ = static_cast<uint32_t>(kernel_->get_attribute(CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK));
    log_debug("max_threads_per_block=%s", max_threads_per_block_);

    PyObject* ctypes = state().host.ctypes.get();
    Ref pointer = py::call(module_attr("CUcontext").get());
    Ref result = py::call(module_attr("cuCtxGetCurrent").get(), py::call_method(ctypes, "byref", pointer));
    const int r = static_cast<int>(py::as_long_long(result.get()));
    Ref address = py::getattr(pointer.get(), "value");
    cuda_context_ptr_ = address.get() == Py_None
                            ? nullptr
                            : reinterpret_cast<void*>(static_cast<uintptr_t>(py::as_long_long(address.get())));
    log_api("cuCtxGetCurrent() returned %s, cuda context pointer=%#x", cuda_result_text(r), cuda_context_ptr_);
    check_assert(r == 0, format("failed to get current cuda context, cuCtxGetCurrent returned %s", cuda_result_text(r)));
}

// The kernel for the pixel format, loaded into the current context.
void Encoder::load_kernel() {
    const char* name = pixel_format_ == "YUV444P" ? "BGRA_to_YUV444" : "BGRA_to_NV12";
    Ref pair = csc_function(device_id_, name);
    kernel_name_ = name;
    kernel_object_ = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    const bool loaded = py::truth(kernel_object_.get());
    check_assert(loaded, format("failed to load %s for device %i", name, device_id_));
    if (!loaded) fail(format("failed to load %s for device %i", name, device_id_));
    const auto handle = static_cast<uintptr_t>(py::as_long_long(py::getattr(kernel_object_.get(), "handle").get()));
    kernel_.emplace(driver(), reinterpret_cast<CUfunction>(handle));
    kernel_arguments_.reset();
}

void Encoder::allocate_output_buffer() {
    device_output_buffer_ = cuda::mem_alloc_pitch(driver(), encoder_width_, encoder_height_ * 3 / divisor(), 16);
    output_pitch_ = static_cast<uint32_t>(device_output_buffer_.pitch);
    log_debug("CUDA Output Buffer=%#x, pitch=%s", device_output_buffer_.allocation.address(), output_pitch_);
}

void Encoder::init_cuda_buffers() {
    if (pixel_format_ == "YUV444P")
        buffer_format_ = kYUV444;
    else if (pixel_format_ == "NV12")
        buffer_format_ = kNV12;
    else
        fail(format("BUG: invalid dst format: %s", pixel_format_));
    load_kernel();
    device_input_buffer_ = cuda::mem_alloc_pitch(driver(), input_row_bytes(input_width_), input_height_, 16);
    input_pitch_ = static_cast<uint32_t>(device_input_buffer_.pitch);
    log_debug("CUDA Input Buffer=%#x, pitch=%s", device_input_buffer_.allocation.address(), input_pitch_);
    allocate_output_buffer();
    const std::size_t size = static_cast<std::size_t>(input_pitch_) * input_height_;
    input_buffer_ = cuda::pagelocked_zeros(driver(), size);
    log_debug("inputBuffer=%s (size=%s)", format("<page-locked buffer %#x>", input_buffer_.data()), size);
}

// --- NVENC session ------------------------------------------------------------------------------------
void Encoder::open_encode_session() {
    log_debug("open_encode_session() cuda_context=%s, cuda_context_ptr=%#x", context_text(), cuda_context_ptr_);
    acquire_function_list(function_list_.get());
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params;
    nvenc_reset(params);
    params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    params.device = cuda_context_ptr_;
    params.apiVersion = NVENCAPI_VERSION;
    auto open = function_list_->nvEncOpenEncodeSessionEx;
    log_api("calling nvEncOpenEncodeSessionEx @ %#x", reinterpret_cast<void*>(open));
    context_ = nullptr;
    const int status = unlocked([&] { return open(&params, &context_); });
    if (status == NV_ENC_ERR_UNSUPPORTED_DEVICE) {
        const char* message =
            "NV_ENC_ERR_UNSUPPORTED_DEVICE: could not open encode session (out of resources / no more codec contexts?)";
        set_module_attr("last_context_failure", py::floating(now()));
        log_debug(message);
        raise_transient(message);
    }
    if (!context_) fail("cannot open encoding session, context is NULL");
    check_nvenc(status, "opening session");
    py::call_method(state().context_counter.get(), "increase");
    py::call_method(state().context_gen_counter.get(), "increase");
    Ref count = py::call_method(state().context_counter.get(), "get");
    log_debug("success, encoder context=%#x (%s context%s in use)", context_, count, plural(count));
}

void Encoder::init_nvenc() {
    function_list_ = std::make_unique<NV_ENCODE_API_FUNCTION_LIST>();
    open_encode_session();
    init_codec();
    auto params = std::make_unique<NV_ENC_INITIALIZE_PARAMS>();
    std::unique_ptr<NV_ENC_CONFIG> config = init_params(codec_, *params);
    log_api("nvEncInitializeEncoder using encode=%s", codec_text(codec_));
    check_nvenc(unlocked([&] { return function_list_->nvEncInitializeEncoder(context_, params.get()); }),
                "initializing encoder");
    log_debug("NVENC initialized with '%s' codec and '%s' preset", codec_name_, preset_name_);
    dump_caps(codec_name_, codec_);
    init_buffers();
}

void Encoder::register_output_buffer() {
    NV_ENC_REGISTER_RESOURCE r;
    nvenc_reset(r);
    r.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR;
    r.resourceToRegister = reinterpret_cast<void*>(device_output_buffer_.allocation.address());
    r.width = encoder_width_;
    r.height = encoder_height_;
    r.pitch = output_pitch_;
    r.bufferFormat = static_cast<NV_ENC_BUFFER_FORMAT>(buffer_format_);
    log_api("nvEncRegisterResource(%#x)", &r);
    check_nvenc(unlocked([&] { return function_list_->nvEncRegisterResource(context_, &r); }),
                "registering CUDA input buffer");
    input_handle_ = r.registeredResource;
    log_debug("input handle for CUDA buffer: %#x", input_handle_);
}

void Encoder::init_buffers() {
    check_assert(context_ != nullptr, "context is not initialized");
    register_output_buffer();
    NV_ENC_CREATE_BITSTREAM_BUFFER b;
    nvenc_reset(b);
    b.size = bitstream_buffer_size(encoder_width_, encoder_height_);
    b.memoryHeap = NV_ENC_MEMORY_HEAP_SYSMEM_CACHED;
    log_api("nvEncCreateBitstreamBuffer(%#x)", &b);
    check_nvenc(unlocked([&] { return function_list_->nvEncCreateBitstreamBuffer(context_, &b); }),
                "creating output buffer");
    bitstream_buffer_ = b.bitstreamBuffer;
    log_debug("output bitstream buffer=%#x", bitstream_buffer_);
}

// --- discovery ----------------------------------------------------------------------------------------
Ref Encoder::query_codecs(bool full_query) {
    NV_ENCODE_API_FUNCTION_LIST& f = *function_list_;
    uint32_t count = 0;
    log_api("nvEncGetEncodeGUIDCount(%#x)", &count);
    check_nvenc(unlocked([&] { return f.nvEncGetEncodeGUIDCount(context_, &count); }), "getting encoder count");
    log_debug("found %i encoder%s:", count, plural(value(count)));
    check_assert(count < 256);
    std::vector<GUID> guids(count);
    uint32_t returned = 0;
    log_api("nvEncGetEncodeGUIDs(%#x, %i, %#x)", guids.data(), count, &returned);
    check_nvenc(unlocked([&] { return f.nvEncGetEncodeGUIDs(context_, guids.data(), count, &returned); }),
                "getting list of encode GUIDs");
    check_assert(returned == count, format("expected %s items but got %s", count, returned));
    Ref result = py::new_dict();
    for (uint32_t x = 0; x < std::min(returned, count); ++x) {
        const GUID& g = guids[x];
        const std::string t = guid_text(g);
        const char* name = codec_name(t);
        if (name)
            log_debug("[%s] %s", x, name);
        else
            log_debug("[%s] unknown codec GUID: %s", x, t);
        py::dict_set(result.get(), value(name), text(t));
        log_debug(" max dimensions: %sx%s (async=%s)", query_encoder_caps(g, NV_ENC_CAPS_WIDTH_MAX),
                  query_encoder_caps(g, NV_ENC_CAPS_HEIGHT_MAX), query_encoder_caps(g, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT));
        log_debug(" rate control:   %s", query_encoder_caps(g, NV_ENC_CAPS_SUPPORTED_RATECONTROL_MODES));
        if (full_query) {
            log_debug("  presets=%s", query_presets(g));
            log_debug("  profiles=%s", query_profiles(g));
            log_debug("  input formats=%s", query_input_formats(g));
        }
    }
    log_debug("codecs=%s", py::call(state().host.csv.get(), py::check(PyDict_Keys(result.get()))));
    return result;
}

Ref Encoder::query_presets(const GUID& codec) {
    NV_ENCODE_API_FUNCTION_LIST& f = *function_list_;
    Ref result = py::new_dict();
    uint32_t count = 0;
    if (state().config.debug_api) log_info("nvEncGetEncodePresetCount(%s, %#x)", codec_text(codec), &count);
    check_nvenc(unlocked([&] { return f.nvEncGetEncodePresetCount(context_, codec, &count); }),
                "getting preset count for " + guid_text(codec));
    log_debug("found %s preset%s:", count, plural(value(count)));
    check_assert(count < 256);
    std::vector<GUID> guids(count);
    uint32_t returned = 0;
    log_api("nvEncGetEncodePresetGUIDs(%s, %#x)", codec_text(codec), guids.data());
    check_nvenc(unlocked([&] { return f.nvEncGetEncodePresetGUIDs(context_, codec, guids.data(), count, &returned); }),
                "getting encode presets");
    check_assert(returned == count);
    std::vector<std::string> unknown;
    for (uint32_t i = 0; i < std::min(returned, count); ++i) {
        const std::string t = guid_text(guids[i]);
        const char* name = preset_name(t);
        const char* shown = name ? name : "unknown!";
        log_api("* %s : %s", t, shown);
        if (auto config = get_preset_config(shown, codec, guids[i])) {
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
    NV_ENCODE_API_FUNCTION_LIST& f = *function_list_;
    Ref result = py::new_dict();
    uint32_t count = 0;
    log_api("nvEncGetEncodeProfileGUIDCount(%s, %#x)", codec_text(codec), &count);
    check_nvenc(unlocked([&] { return f.nvEncGetEncodeProfileGUIDCount(context_, codec, &count); }),
                "getting profile count");
    log_debug("%s profiles:", count);
    check_assert(count < 256);
    std::vector<GUID> guids(count);
    Ref all = module_attr("CODEC_PROFILES_GUIDS");
    Ref names = Ref::borrow(PyDict_GetItem(all.get(), guid_value(codec).get()));
    if (!names) names = py::new_dict();
    uint32_t returned = 0;
    log_api("nvEncGetEncodeProfileGUIDs(%s, %#x, %#x)", codec_text(codec), guids.data(), &returned);
    check_nvenc(unlocked([&] { return f.nvEncGetEncodeProfileGUIDs(context_, codec, guids.data(), count, &returned); }),
                "getting encode profiles");
    check_assert(returned == count);
    for (uint32_t i = 0; i < std::min(returned, count); ++i) {
        Ref t = guid_value(guids[i]);
        Ref name = value(PyDict_GetItem(names.get(), t.get()));
        log_debug("* %s : %s", t, name);
        py::dict_set(result.get(), name, t);
    }
    return result;
}

Ref Encoder::query_input_formats(const GUID& codec) {
    NV_ENCODE_API_FUNCTION_LIST& f = *function_list_;
    Ref result = py::new_dict();
    uint32_t count = 0;
    log_api("nvEncGetInputFormatCount(%s, %#x)", codec_text(codec), &count);
    check_nvenc(unlocked([&] { return f.nvEncGetInputFormatCount(context_, codec, &count); }),
                "getting input format count");
    log_debug("%s input format type%s:", count, plural(value(count)));
    check_assert(count >= 1 && count < 256);
    std::vector<NV_ENC_BUFFER_FORMAT> formats(count);
    uint32_t returned = 0;
    log_api("nvEncGetInputFormats(%s, %#x, %i, %#x)", codec_text(codec), formats.data(), count, &returned);
    check_nvenc(unlocked([&] { return f.nvEncGetInputFormats(context_, codec, formats.data(), count, &returned); }),
                "getting input formats");
    check_assert(returned == count);
    for (uint32_t i = 0; i < std::min(returned, count); ++i) {
        const uint32_t v = formats[i];
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
        NV_ENC_CAPS_PARAM param;
        nvenc_reset(param);
        param.capsToQuery = static_cast<NV_ENC_CAPS>(cap);
        int v = 0;
        const int status =
            unlocked([&] { return function_list_->nvEncGetEncodeCaps(context_, codec, &param, &v); });
        const char* name = caps_name(static_cast<uint32_t>(cap));
        Ref shown = name ? text(name) : value(cap);
        check_nvenc(status, format("getting encode caps for %s", shown));
        log_api("query_encoder_caps(%s, %s) %s=%s", codec_text(codec), cap, shown, v);
        result = v;
    });
    if (ok < 0) {
        py::report_unraisable((std::string(kModuleName) + ".Encoder.query_encoder_caps").c_str());
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
    check_assert(bool(guid), format("%s not supported!?", codec_name_));
    if (!guid) fail(format("%s not supported!?", codec_name_));
    codec_ = parse_or_fail(py::str(guid.get()));
}

GUID Encoder::get_preset(const GUID& codec) {
    Ref presets = query_presets(codec);
    std::map<int, std::vector<std::string>> candidates;
    const std::string& desired = state().config.desired_preset;
    if (!desired.empty()) candidates[-1].push_back(desired);
    for (const GuidName& entry : preset_guids()) {
        const std::string name = entry.name;
        const PresetRank* rank = preset_rank(name);
        const int speed = rank ? rank->speed : 50;
        const int quality = rank ? rank->quality : 50;
        const bool lossless_preset = is_lossless_preset(name);
        if (lossless_preset && pixel_format_ != "YUV444P") continue;
        if (lossless_ != lossless_preset) continue;
        if (speed < 0 || quality < 0) continue;
        const int score = 2 * std::abs(speed - speed_) + 3 * std::abs(quality - quality_);
        auto& list = candidates[score];
        if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
    }
    Ref table = py::new_dict();
    for (const auto& [score, names] : candidates) {
        Ref l = py::new_list();
        for (const std::string& n : names) py::list_append(l.get(), text(n));
        py::dict_set(table.get(), value(score), l);
    }
    log_debug("get_preset(%s) speed=%s, quality=%s, lossless=%s, pixel_format=%s, options=%s", codec_text(codec),
              speed_, quality_, lossless_, pixel_format_, table);
    for (const auto& [score, names] : candidates) {
        (void)score;
        for (const std::string& name : names) {
            if (name.empty()) continue;
            Ref guid = py::dict_get(presets.get(), name.c_str());
            if (!guid) continue;
            log_debug("using preset '%s' for quality=%s, speed=%s, lossless=%s, pixel_format=%s", name, quality_,
                      speed_, lossless_, pixel_format_);
            return parse_or_fail(py::str(guid.get()));
        }
    }
    fail(format("no matching presets available for '%s'!?", codec_name_));
}

std::unique_ptr<NV_ENC_PRESET_CONFIG> Encoder::get_preset_config(const std::string& name, const GUID& encode,
                                                                 const GUID& preset) {
    auto config = std::make_unique<NV_ENC_PRESET_CONFIG>();
    nvenc_reset(*config);
    config->presetCfg.version = NV_ENC_CONFIG_VER;
    if (state().config.debug_api)
        log_info("nvEncGetEncodePresetConfig(%s, %s)", codec_text(encode), preset_text(preset));
    const int status = function_list_->nvEncGetEncodePresetConfig(context_, encode, preset, config.get());
    if (status != 0) {
        const char* t = status_text(status);
        log_warn("failed to get preset config for %s (%s / %s): %s", name, guid_text(encode), guid_text(preset),
                 t ? value(t) : value(status));
        return nullptr;
    }
    return config;
}

// The rate control of the API-4.0 build: bitrates and the quantiser range of the quality.
void apply_rate_control([[maybe_unused]] NV_ENC_RC_PARAMS& rc, [[maybe_unused]] int quality,
                        [[maybe_unused]] uint32_t target, [[maybe_unused]] uint32_t max,
                        [[maybe_unused]] bool constant_qp, [[maybe_unused]] QuantiserRange range) {
#if TEVU_NVENC_API_VERSION < 0x50
    rc.rateControlMode = constant_qp ? NV_ENC_PARAMS_RC_CONSTQP : NV_ENC_PARAMS_RC_VBR;
    rc.averageBitRate = target;
    rc.maxBitRate = max;
    rc.enableMinQP = 1;
    rc.enableMaxQP = 1;
    const uint32_t lo = static_cast<uint32_t>(range.min), hi = static_cast<uint32_t>(range.max);
    rc.minQP = {lo, lo, lo};
    rc.maxQP = {hi, hi, hi};
#endif
}

std::unique_ptr<NV_ENC_CONFIG> Encoder::init_params(const GUID& codec, NV_ENC_INITIALIZE_PARAMS& params) {
    const GUID preset = get_preset(codec_);
    preset_name_ = preset_text(preset);
    log_debug("init_params(%s) using preset=%s", codec_text(codec), preset_text(preset));
    const char* input_format = buffer_format_name(buffer_format_);
    Ref formats = query_input_formats(codec);
    const bool accepted = input_format && py::dict_get(formats.get(), input_format);
    check_assert(accepted, format("%s does not support %s (only: %s)", codec_name_, input_format, formats));
    if (!accepted) fail(format("%s does not support %s (only: %s)", codec_name_, input_format, formats));
    params = NV_ENC_INITIALIZE_PARAMS{};
    auto config = std::make_unique<NV_ENC_CONFIG>();
    std::unique_ptr<NV_ENC_PRESET_CONFIG> preset_config = get_preset_config(preset_name_, codec, preset);
    if (!preset_config) fail(format("could not find preset %s", preset_name_));
    *config = preset_config->presetCfg;
    params.version = NV_ENC_INITIALIZE_PARAMS_VER;
    params.encodeGUID = codec;
    params.presetGUID = preset;
    params.encodeWidth = params.darWidth = encoder_width_;
    params.encodeHeight = params.darHeight = encoder_height_;
    params.frameRateNum = 1;
    params.frameRateDen = 30;
    params.enableEncodeAsync = 0;
    params.enablePTD = 0;
    params.encodeConfig = config.get();
    config->gopLength = NVENC_INFINITE_GOPLENGTH;
    config->frameIntervalP = 1;
    config->frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
    NV_ENC_CONFIG_H264& h264 = config->encodeCodecConfig.h264Config;
    h264.h264VUIParameters.videoSignalTypePresentFlag = 0;
    h264.h264VUIParameters.colourDescriptionPresentFlag = 0;
    h264.chromaFormatIDC = pixel_format_ == "YUV444P" ? NVENC_CHROMA_FORMAT_IDC_444 : NVENC_CHROMA_FORMAT_IDC_420;
    apply_rate_control(config->rcParams, quality_, target_bitrate_, max_bitrate_, lossless_,
                       lossless_ ? QuantiserRange{0, 0} : session_quantisers(quality_));
#if TEVU_NVENC_API_VERSION < 0x50
    if (lossless_) h264.qpPrimeYZeroTransformBypassFlag = 1;
#endif
    return config;
}

// --- set-up entry -------------------------------------------------------------------------------------
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
    check_assert(py::check_status(PySequence_Contains(encodings.get(), encoding)) == 1,
                 format("invalid encoding %s", encoding));
    check_assert(module_attr("NvEncodeAPICreateInstance").get() != Py_None, "encoder module is not initialized");
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384)
        py::raise(PyExc_ValueError, format("invalid dimensions: %sx%s", width, height));
    log_debug("init_context%s", py::tuple(value(width), value(height), src_format, dst_formats, encoding,
                                          value(quality), value(speed), scaling, options));
    width_ = static_cast<uint32_t>(width);
    height_ = static_cast<uint32_t>(height);
    speed_ = speed;
    quality_ = quality;
    scaling_ = py::truth(scaling) ? Ref::borrow(scaling) : py::tuple(value(1), value(1));
    py::parse_tuple(scaling_.get(), "ii", &scale_num_, &scale_den_);
    if (scale_num_ <= 0 || scale_den_ <= 0)
        py::raise(PyExc_ValueError, format("invalid scaling: %s", scaling_));
    input_width_ = round_up_32(width_);
    input_height_ = round_up_32(height_);
    encoder_width_ = scaled_dimension(width_, scale_num_, scale_den_);
    encoder_height_ = scaled_dimension(height_, scale_num_, scale_den_);
    src_format_ = py::str(src_format);
    dst_formats_ = Ref::borrow(dst_formats);
    codec_name_ = "H264";
    preset_name_.clear();
    frames_ = 0;
    cuda_device_ = Ref();
    pixel_format_.clear();
    last_frame_times_.clear();
    update_bitrate();
    const double start = now();
    pixel_format_ = target_pixel_format(quality_);
    lossless_ = target_lossless(pixel_format_, quality_);
    Ref preferred = py::call_method(options, "get", text("cuda_device"), value(-1));
    Ref kw = py::new_dict();
    py::dict_set(kw.get(), "min_compute", min_compute());
    Ref selected = py::call_kw(state().host.select_device.get(), py::tuple(preferred), kw);
    PyObject *number = nullptr, *device = nullptr;
    py::parse_tuple(selected.get(), "OO", &number, &device);
    device_id_ = static_cast<int>(py::as_long_long(number));
    cuda_device_ = Ref::borrow(device);
    log_debug("using %s %s compression at %s%% quality with pixel format %s on device %s",
              lossless_ ? "lossless" : "lossy", encoding, quality_, pixel_format_,
              py::call(state().host.device_info.get(), cuda_device_));
    try {
        init_cuda();
        init_nvenc();
        py::call(state().host.record_device_success.get(), value(device_id_));
    } catch (const cuda::Error& e) {
        set_cuda_error(e);
        record_setup_failure(device_id_);
        throw py::ErrorAlreadySet();
    } catch (const py::ErrorAlreadySet&) {
        record_setup_failure(device_id_);
        throw;
    }
    log_debug("init_context%s took %1.fms",
              py::tuple(value(width_), value(height_), src_format, value(quality_), value(speed_), options),
              (now() - start) * 1000.0);
}

// --- adaptation ---------------------------------------------------------------------------------------
void Encoder::set_encoding_speed(int speed) {
    if (speed == speed_) return;
    speed_ = speed;
    update_bitrate();
}

void Encoder::update_bitrate() {
    const Bitrates b = compute_bitrates(speed_, encoder_width_, encoder_height_, pixel_format_ == "NV12");
    target_bitrate_ = b.target;
    max_bitrate_ = b.max;
}

std::string Encoder::target_pixel_format(int quality) const {
    auto accepts = [&](const char* name) {
        return py::check_status(PySequence_Contains(dst_formats_.get(), text(name).get())) == 1;
    };
    const bool yuv444 = py::truth(module_attr("YUV444_ENABLED").get());
    const bool unscaled = scale_num_ <= 1 && scale_den_ <= 1;
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
    if (quality == quality_) return;
    log_debug("set_encoding_quality(%s) current quality=%s", quality, quality_);
    const int target = target_quality(quality, quality_, state().config.lossless_threshold);
    quality_ = quality;
    log_debug("set_encoding_quality(%s) target quality=%s", quality, target);
    const std::string new_format = target_pixel_format(target);
    const bool new_lossless = target_lossless(new_format, target);
    if (new_format == pixel_format_ && new_lossless == lossless_) {
        log_debug("set_encoding_quality(%s) keeping current: %s / %s", quality, pixel_format_, lossless_ ? 1 : 0);
        return;
    }
    const double start = now();
    const std::string old_format = pixel_format_;
    const bool old_lossless = lossless_;
    apply_format(new_format, new_lossless);
    log_debug("set_encoding_quality(%s) reconfigured from %s / %s to: %s / %s (took %ims)", quality, old_format,
              old_lossless, new_format, new_lossless, static_cast<long long>(1000 * (now() - start)));
}

// Brings the session (preset, chroma format), the buffer format, the output buffer and the kernel in
// line with a new pixel format or lossless mode. On failure the previous values stay.
void Encoder::apply_format(const std::string& pixel_format, bool lossless) {
    check_assert(context_ != nullptr, "context is not initialized");
    const std::string old_format = pixel_format_;
    const bool old_lossless = lossless_;
    const uint32_t old_buffer_format = buffer_format_;
    pixel_format_ = pixel_format;
    lossless_ = lossless;
    buffer_format_ = pixel_format == "YUV444P" ? kYUV444 : kNV12;
    try {
        cuda::ContextScope scope(cuda_context_);
        auto reconfigure = std::make_unique<NV_ENC_RECONFIGURE_PARAMS>();
        nvenc_reset(*reconfigure);
        std::unique_ptr<NV_ENC_CONFIG> config = init_params(codec_, reconfigure->reInitEncodeParams);
        reconfigure->resetEncoder = 1;
        reconfigure->forceIDR = 1;
        log_api("nvEncReconfigureEncoder(%#x)", reconfigure.get());
        check_nvenc(unlocked([&] { return function_list_->nvEncReconfigureEncoder(context_, reconfigure.get()); }),
                    "reconfiguring encoder");
        force_idr_ = true;
        if (buffer_format_ != old_buffer_format) {
            check_nvenc(unlocked([&] { return function_list_->nvEncUnregisterResource(context_, input_handle_); }),
                        "unregistering CUDA input buffer");
            input_handle_ = nullptr;
            device_output_buffer_.allocation.free();
            allocate_output_buffer();
            register_output_buffer();
            load_kernel();
        }
        update_bitrate();
    } catch (...) {
        if (!input_handle_ || !kernel_) {
            // The old buffers are gone: the encoder cannot go on.
            pixel_format_ = pixel_format;
            throw;
        }
        pixel_format_ = old_format;
        lossless_ = old_lossless;
        buffer_format_ = old_buffer_format;
        throw;
    }
}

// --- frames -------------------------------------------------------------------------------------------
Setup Encoder::saved_setup() const {
    return {width_, height_, src_format_, dst_formats_, scaling_, scale_num_, scale_den_, speed_, quality_,
            device_id_, cuda_device_, pixel_format_, lossless_};
}

void Encoder::rebuild(const Setup& s) {
    width_ = s.width;
    height_ = s.height;
    src_format_ = s.src_format;
    dst_formats_ = s.dst_formats;
    scaling_ = s.scaling;
    scale_num_ = s.scale_num;
    scale_den_ = s.scale_den;
    speed_ = s.speed;
    quality_ = s.quality;
    device_id_ = s.device_id;
    cuda_device_ = s.cuda_device;
    pixel_format_ = s.pixel_format;
    lossless_ = s.lossless;
    input_width_ = round_up_32(width_);
    input_height_ = round_up_32(height_);
    encoder_width_ = scaled_dimension(width_, scale_num_, scale_den_);
    encoder_height_ = scaled_dimension(height_, scale_num_, scale_den_);
    codec_name_ = "H264";
    update_bitrate();
    init_cuda();
    init_nvenc();
}

Ref Encoder::compress_image(PyObject* image, int quality, int speed, PyObject* options, int retry) {
    check_assert(bool(cuda_context_), "context is not initialized");
    if (!cuda_context_) fail("context is not initialized");
    try {
        cuda::ContextScope scope(cuda_context_);
        set_encoding_quality(quality);
        set_encoding_speed(speed);
        return do_compress_image(image, options);
    } catch (const cuda::LogicError& e) {
        if (retry > 0) throw;
        log_warn("PyCUDA error: %s", e.what());
        const Setup setup = saved_setup();
        clean();
        rebuild(setup);
        return compress_image(image, quality, speed, options, retry + 1);
    }
}

void Encoder::launch_kernel(uint32_t w, uint32_t h, uint32_t source_pitch) {
    const uint32_t d = divisor();
    const cuda::Dim3 block{16, 16, 1};
    const cuda::Dim3 grid{grid_dimension(w, d), grid_dimension(h, d), 1};
    const uint32_t in_w = scaled() ? w : input_width_;
    const uint32_t in_h = scaled() ? h : input_height_;
    const uint32_t geometry[5] = {in_w, in_h, source_pitch, w, h};
    if (!kernel_arguments_ || !std::equal(geometry, geometry + 5, kernel_geometry_)) {
        kernel_arguments_.emplace();
        kernel_arguments_->pointer(device_input_buffer_.allocation.address())
            .int32(static_cast<int32_t>(in_w))
            .int32(static_cast<int32_t>(in_h))
            .int32(static_cast<int32_t>(source_pitch))
            .pointer(device_output_buffer_.allocation.address())
            .int32(static_cast<int32_t>(encoder_width_))
            .int32(static_cast<int32_t>(encoder_height_))
            .int32(static_cast<int32_t>(output_pitch_))
            .int32(static_cast<int32_t>(w))
            .int32(static_cast<int32_t>(h));
        std::copy(geometry, geometry + 5, kernel_geometry_);
    }
    const double start = now();
    log_debug("calling %s%s with block=%s, grid=%s", kernel_object_,
              py::tuple(value(device_input_buffer_.allocation.address()), value(in_w), value(in_h),
                        value(source_pitch), value(device_output_buffer_.allocation.address()),
                        value(encoder_width_), value(encoder_height_), value(output_pitch_), value(w), value(h)),
              py::tuple(value(16), value(16), value(1)), py::tuple(value(grid.x), value(grid.y)));
    {
        py::GilRelease release;
        kernel_->launch(grid, block, *kernel_arguments_);
    }
    log_debug("compress_image(..) kernel %s took %.1f ms", kernel_name_, (now() - start) * 1000);
}

void Encoder::encode_picture(uint64_t timestamp, NV_ENC_INPUT_PTR mapped) {
    NV_ENC_PIC_PARAMS pic{};
    pic.version = NV_ENC_PIC_PARAMS_VER;
    const bool key = frames_ == 0 || force_idr_;
    pic.inputWidth = encoder_width_;
    pic.inputHeight = encoder_height_;
    pic.inputPitch = output_pitch_;
    pic.encodePicFlags = frames_ == 0 ? NV_ENC_PIC_FLAG_OUTPUT_SPSPPS
                                      : (force_idr_ ? NV_ENC_PIC_FLAG_OUTPUT_SPSPPS | NV_ENC_PIC_FLAG_FORCEIDR : 0);
    pic.frameIdx = frames_;
    pic.inputTimeStamp = timestamp;
    pic.inputBuffer = mapped;
    pic.outputBitstream = bitstream_buffer_;
    pic.bufferFmt = static_cast<NV_ENC_BUFFER_FORMAT>(buffer_format_);
    pic.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    pic.pictureType = key ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P;
    NV_ENC_PIC_PARAMS_H264& h264 = pic.codecPicParams.h264PicParams;
    h264.displayPOCSyntax = 2 * frames_;
    h264.refPicFlag = key ? 1 : 0;
    h264.sliceMode = NVENC_SLICE_MODE_COUNT;
    h264.sliceModeData = 1;
#if TEVU_NVENC_API_VERSION < 0x50
    apply_rate_control(pic.rcParams, quality_, target_bitrate_, max_bitrate_, false, picture_quantisers(quality_));
#endif
    log_api("nvEncEncodePicture(%#x)", &pic);
    check_nvenc(unlocked([&] { return function_list_->nvEncEncodePicture(context_, &pic); }),
                "error during picture encoding");
    force_idr_ = false;
}

Ref Encoder::lock_and_copy(bool& locked) {
    NV_ENC_LOCK_BITSTREAM lock;
    nvenc_reset(lock);
    lock.doNotWait = 0;
    lock.outputBitstream = bitstream_buffer_;
    log_api("nvEncLockBitstream(%#x) bitstreamBufferPtr=%#x", &lock, lock.bitstreamBufferPtr);
    check_nvenc(unlocked([&] { return function_list_->nvEncLockBitstream(context_, &lock); }),
                "locking output buffer");
    locked = true;
#if TEVU_NVENC_API_VERSION >= 0x50
    log_debug("compress_image(..) output buffer locked, bitstreamBufferPtr=%#x", lock.bitstreamBufferPtr);
#endif
    const uint32_t size = lock.bitstreamSizeInBytes;
    bytes_out_ += size;
    return py::bytes(lock.bitstreamBufferPtr, size);
}

void Encoder::release_frame(NV_ENC_INPUT_PTR mapped, bool locked) {
    int unlock_status = 0;
    if (locked) {
        log_api("nvEncUnlockBitstream(%#x)", bitstream_buffer_);
        unlock_status = unlocked([&] { return function_list_->nvEncUnlockBitstream(context_, bitstream_buffer_); });
    }
    log_api("nvEncUnmapInputResource(%#x)", mapped);
    const int unmap_status = unlocked([&] { return function_list_->nvEncUnmapInputResource(context_, mapped); });
    if (unmap_status != 0) pending_unmap_ = mapped;
    if (unlock_status != 0) pending_unlock_ = true;
    check_nvenc(unlock_status, "unlocking output buffer");
    check_nvenc(unmap_status, "unmapping input resource");
}

void Encoder::retry_pending_releases() {
    if (!context_) return;
    if (pending_unlock_ &&
        unlocked([&] { return function_list_->nvEncUnlockBitstream(context_, bitstream_buffer_); }) == 0)
        pending_unlock_ = false;
    if (pending_unmap_ &&
        unlocked([&] { return function_list_->nvEncUnmapInputResource(context_, pending_unmap_); }) == 0)
        pending_unmap_ = nullptr;
}

Ref Encoder::client_options(long long pts) const {
    Ref o = py::new_dict();
    py::dict_set(o.get(), "frame", value(frames_));
    py::dict_set(o.get(), "pts", value(pts));
    py::dict_set(o.get(), "speed", value(speed_));
    py::dict_set(o.get(), "quality", value(lossless_ ? 100 : std::min(quality_, 99)));
    if (lossless_) py::dict_set(o.get(), "lossless", py::boolean(true));
    if (scaled()) py::dict_set(o.get(), "scaled_size", py::tuple(value(encoder_width_), value(encoder_height_)));
    return o;
}

Ref Encoder::do_compress_image(PyObject* image, PyObject* options) {
    const double start = now();
    log_debug("compress_image(%s, %s)", image, options);
    const long long w = py::as_long_long(py::call_method(image, "get_width").get());
    const long long h = py::as_long_long(py::call_method(image, "get_height").get());
    Ref pixels = py::call_method(image, "get_pixels");
    const long long stride = py::as_long_long(py::call_method(image, "get_rowstride").get());
    const std::size_t input_size = static_cast<std::size_t>(input_pitch_) * input_height_;
    check_assert(pixels.get() != Py_None, format("failed to get pixels from %s", image));
    check_assert(context_ != nullptr, "context is not initialized");
    Ref planes = py::call_method(image, "get_planes");
    const int same_planes = py::check_status(PyObject_RichCompareBool(planes.get(), state().host.packed.get(), Py_EQ));
    check_assert(same_planes == 1, format("invalid number of planes: %s", planes));
    check_assert((w & 0xFFFE) <= input_width_, format("invalid width: %s", w));
    check_assert((h & 0xFFFE) <= input_height_, format("invalid height: %s", h));
    check_assert(bool(input_buffer_), "BUG: encoder is closed?");
    // Checks that must hold even when assertions are off: they guard memory.
    if (pixels.get() == Py_None) fail(format("failed to get pixels from %s", image));
    if (!context_ || !input_buffer_) fail("context is not initialized");
    if (same_planes != 1) fail(format("invalid number of planes: %s", planes));
    if (w <= 0 || h <= 0 || (w & 0xFFFE) > input_width_ || (h & 0xFFFE) > input_height_ || stride <= 0 ||
        stride > INT32_MAX)
        py::raise(PyExc_ValueError, format("invalid image geometry: %sx%s stride=%s", w, h, stride));
    const long long timestamp = py::as_long_long(py::call_method(image, "get_timestamp").get());
    if (frames_ == 0) first_frame_timestamp_ = timestamp;

    // Odd sizes count as the next lower even size; an extra column or row is not encoded.
    const uint32_t width = std::min<uint32_t>(static_cast<uint32_t>(w), input_width_);
    const uint32_t height = std::min<uint32_t>(static_cast<uint32_t>(h), input_height_);
    StagingResult staged{};
    {
        py::BufferView view(pixels.get());
        const ImageRows rows{static_cast<const uint8_t*>(view.data()), view.size(), static_cast<uint32_t>(w),
                             static_cast<uint32_t>(h), static_cast<uint32_t>(stride)};
        Ref pixel_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(pixels.get())));
        if (static_cast<uint32_t>(stride) <= input_pitch_)
            log_debug("copying %s pixels from %s into %s, in one shot", value(view.size()), pixel_type,
                      "page-locked buffer");
        else
            log_debug("copying %s pixels from %s into %s, %i stride at a time", value(input_pitch_ * h), pixel_type,
                      "page-locked buffer", input_pitch_);
        try {
            // Plain copies between buffers this call holds: other threads may run meanwhile.
            py::GilRelease release;
            staged = stage_pixels(rows, {input_buffer_.data(), input_pitch_, input_height_});
        } catch (const StagingError& e) {
            py::raise(PyExc_ValueError, e.what());
        }
    }
    {
        py::GilRelease release;
        cuda::memcpy_htod(*driver(), device_input_buffer_.allocation.address(), input_buffer_.data(), input_size);
    }
    bytes_in_ += input_size;
    log_debug("compress_image(..) %i bytes of input buffer copied to device", input_size);
    if (pixel_format_ != "NV12" && pixel_format_ != "YUV444P")
        fail(format("bug: invalid pixel format '%s'", pixel_format_));
    launch_kernel(width, height, staged.source_pitch);
    const double converted = now();

    retry_pending_releases();
    NV_ENC_MAP_INPUT_RESOURCE map;
    nvenc_reset(map);
    map.registeredResource = input_handle_;
    map.mappedBufferFmt = static_cast<NV_ENC_BUFFER_FORMAT>(buffer_format_);
    log_api("nvEncMapInputResource(%#x)", &map);
    check_nvenc(unlocked([&] { return function_list_->nvEncMapInputResource(context_, &map); }),
                "mapping input resource");
    NV_ENC_INPUT_PTR mapped = map.mappedResource;
    log_api("compress_image(..) device buffer mapped to %#x", mapped);
    Ref data;
    double encoded = 0;
    bool locked = false;
    try {
        if (timestamp < first_frame_timestamp_)
            py::raise(PyExc_OverflowError, format("timestamp %s is earlier than the first frame's (%s)", timestamp,
                                                  first_frame_timestamp_));
        encode_picture(static_cast<uint64_t>(timestamp - first_frame_timestamp_), mapped);
        encoded = now();
#if TEVU_NVENC_API_VERSION >= 0x50
        log_debug("compress_image(..) encoded in %.1f ms", (encoded - converted) * 1000);
#else
        log_debug("compress_image(..) encoded in %.1f ms, info=%s", (encoded - converted) * 1000, info());
#endif
        data = lock_and_copy(locked);
    } catch (const py::ErrorAlreadySet&) {
        py::PendingError pending;
        release_frame(mapped, locked);  // a failure here replaces the pending one
        pending.restore();
        throw;
    }
    release_frame(mapped, locked);
    const double downloaded = now();
    log_debug("compress_image(..) download took %.1f ms", (downloaded - encoded) * 1000);
    const cuda::MemoryInfo memory = cuda::mem_get_info(*driver());
    free_memory_ = memory.free;
    total_memory_ = memory.total;
    Ref result_options = client_options(timestamp - first_frame_timestamp_);
    const double end = now();
    ++frames_;
    last_frame_times_.push_back({start, end});
    if (last_frame_times_.size() > 200) last_frame_times_.pop_front();
    time_ += end - start;
    const std::size_t size = static_cast<std::size_t>(PyString_GET_SIZE(data.get()));
    log_debug("compress_image(..) %s %s returning %s bytes (%.1f%%), complete compression for frame %s took %.1fms",
              "nvenc", py::call(module_attr("get_version").get()), value(size), 100.0 * size / input_size, frames_,
              (end - start) * 1000);
    return py::tuple(data, result_options);
}

// --- teardown -----------------------------------------------------------------------------------------
void Encoder::flush_encoder() {
    NV_ENC_PIC_PARAMS pic{};
    pic.version = NV_ENC_PIC_PARAMS_VER;
    pic.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
    log_api("nvEncEncodePicture(%#x)", &pic);
    check_nvenc(unlocked([&] { return function_list_->nvEncEncodePicture(context_, &pic); }),
                "flushing encoder buffer");
}

void Encoder::cuda_clean() {
    retry_pending_releases();
    if (context_ && frames_ != 0) flush_encoder();
    if (input_handle_ && context_) {
        log_debug("cuda_clean() unregistering CUDA output buffer input handle %#x", input_handle_);
        log_api("nvEncUnregisterResource(%#x)", input_handle_);
        check_nvenc(unlocked([&] { return function_list_->nvEncUnregisterResource(context_, input_handle_); }),
                    "unregistering CUDA input buffer");
        input_handle_ = nullptr;
    }
    if (input_buffer_) {
        log_debug("cuda_clean() freeing CUDA host buffer %s", format("<page-locked buffer %#x>", input_buffer_.data()));
        input_buffer_.free();
    }
    if (device_input_buffer_.allocation) {
        log_debug("cuda_clean() freeing CUDA input buffer %#x", device_input_buffer_.allocation.address());
        device_input_buffer_.allocation.free();
    }
    if (device_output_buffer_.allocation) {
        log_debug("cuda_clean() freeing CUDA output buffer %#x", device_output_buffer_.allocation.address());
        device_output_buffer_.allocation.free();
    }
    if (context_) {
        if (bitstream_buffer_) {
            log_debug("cuda_clean() destroying output bitstream buffer %#x", bitstream_buffer_);
            log_api("nvEncDestroyBitstreamBuffer(%#x)", bitstream_buffer_);
            check_nvenc(
                unlocked([&] { return function_list_->nvEncDestroyBitstreamBuffer(context_, bitstream_buffer_); }),
                "destroying output buffer");
            bitstream_buffer_ = nullptr;
        }
        log_debug("cuda_clean() destroying encoder %#x", context_);
        log_api("nvEncDestroyEncoder(%#x)", context_);
        check_nvenc(unlocked([&] { return function_list_->nvEncDestroyEncoder(context_); }), "destroying context");
        context_ = nullptr;
        py::call_method(state().context_counter.get(), "decrease");
        Ref count = py::call_method(state().context_counter.get(), "get");
        log_debug("cuda_clean() (still %s context%s in use)", count, plural(count));
    }
    function_list_.reset();
    cuda_context_ptr_ = nullptr;
}

// After a failed step of cuda_clean: releases what is still held, ignoring further failures, so that
// no session, registration, buffer or session count is leaked.
void Encoder::release_rest() noexcept {
    if (function_list_ && context_) {
        NV_ENCODE_API_FUNCTION_LIST& f = *function_list_;
        if (input_handle_) unlocked([&] { return f.nvEncUnregisterResource(context_, input_handle_); });
        if (bitstream_buffer_) unlocked([&] { return f.nvEncDestroyBitstreamBuffer(context_, bitstream_buffer_); });
        unlocked([&] { return f.nvEncDestroyEncoder(context_); });
        if (py::guarded_status([&] { py::call_method(state().context_counter.get(), "decrease"); }) < 0)
            PyErr_Clear();
    }
    input_handle_ = nullptr;
    bitstream_buffer_ = nullptr;
    pending_unmap_ = nullptr;
    pending_unlock_ = false;
    context_ = nullptr;
    input_buffer_ = cuda::PagelockedBuffer();
    device_input_buffer_ = cuda::PitchedAllocation();
    device_output_buffer_ = cuda::PitchedAllocation();
    function_list_.reset();
    cuda_context_ptr_ = nullptr;
}

void Encoder::clean() {
    log_debug("clean() cuda_context=%s, encoder context=%#x", context_text(), context_);
    if (cuda_context_) {
        std::exception_ptr failure;
        {
            cuda::ContextScope scope(cuda_context_);
            try {
                cuda_clean();
            } catch (const py::ErrorAlreadySet&) {
                py::PendingError first;
                release_rest();
                first.restore();
                failure = std::current_exception();
            } catch (...) {
                release_rest();
                failure = std::current_exception();
            }
        }
        kernel_.reset();
        kernel_arguments_.reset();
        cuda_context_.detach();
        cuda_context_ = cuda::Context();
        if (failure) std::rethrow_exception(failure);
    } else {
        release_rest();
    }
    reset_fields();
}

void Encoder::reset_fields() {
    width_ = height_ = input_width_ = input_height_ = encoder_width_ = encoder_height_ = 0;
    src_format_.clear();
    dst_formats_ = py::new_list();
    scaling_ = Ref();
    scale_num_ = scale_den_ = 1;
    speed_ = quality_ = 0;
    device_id_ = -1;
    cuda_info_ = cuda_device_info_ = pycuda_info_ = cuda_device_ = Ref();
    kernel_object_ = Ref();
    kernel_.reset();
    kernel_name_.clear();
    max_block_sizes_ = max_grid_sizes_ = py::integer(0);
    max_threads_per_block_ = 0;
    free_memory_ = total_memory_ = 0;
    input_pitch_ = output_pitch_ = buffer_format_ = 0;
    codec_name_.clear();
    preset_name_.clear();
    pixel_format_.clear();
    force_idr_ = false;
    time_ = 0;
    first_frame_timestamp_ = 0;
    frames_ = 0;
    last_frame_times_.clear();
    bytes_in_ = bytes_out_ = 0;
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
    py::dict_set(p, "width", value(width_));
    py::dict_set(p, "height", value(height_));
    py::dict_set(p, "frames", value(frames_));
    py::dict_set(p, "codec", text(codec_name_));
    py::dict_set(p, "encoder_width", value(encoder_width_));
    py::dict_set(p, "encoder_height", value(encoder_height_));
    py::dict_set(p, "bitrate", value(target_bitrate_));
    py::dict_set(p, "quality", value(quality_));
    py::dict_set(p, "speed", value(speed_));
    py::dict_set(p, "lossless", value(lossless_ ? 1 : 0));
    py::dict_set(p, "lossless.supported", module_attr("LOSSLESS_ENABLED"));
    py::dict_set(p, "lossless.threshold", value(state().config.lossless_threshold));
    py::dict_set(p, "yuv444.supported", module_attr("YUV444_ENABLED"));
    py::dict_set(p, "yuv444.threshold", value(state().config.yuv444_threshold));
    if (scaled()) {
        py::dict_set(p, "input_width", value(input_width_));
        py::dict_set(p, "input_height", value(input_height_));
        py::dict_set(p, "scaling", value(scaling_));
    }
    PyObject* updict = state().host.updict.get();
    py::call(updict, d, text("cuda"), value(cuda_device_info_));
    py::call(updict, d, text("cuda"), value(cuda_info_));
    py::call(updict, d, text("pycuda"), value(pycuda_info_));
    if (!src_format_.empty()) py::dict_set(p, "src_format", text(src_format_));
    if (!pixel_format_.empty()) py::dict_set(p, "pixel_format", text(pixel_format_));
    if (bytes_in_ && bytes_out_) {
        py::dict_set(p, "bytes_in", value(bytes_in_));
        py::dict_set(p, "bytes_out", value(bytes_out_));
        py::dict_set(p, "ratio_pct", value(static_cast<long long>(100.0 * bytes_out_ / bytes_in_)));
    }
    if (!preset_name_.empty()) py::dict_set(p, "preset", text(preset_name_));
    py::dict_set(p, "total_time_ms", value(static_cast<long long>(time_ * 1000)));
    if (frames_ && time_ > 0)
        py::dict_set(p, "pixels_per_second",
                     value(static_cast<long long>(static_cast<double>(width_) * height_ * frames_ / time_)));
    py::dict_set(p, "free_memory", value(free_memory_));
    py::dict_set(p, "total_memory", value(total_memory_));
    if (total_memory_)
        py::dict_set(p, "free_memory_pct", value(static_cast<long long>(100.0 * free_memory_ / total_memory_)));
    add_frame_rate(p);
    return d;
}

Ref Encoder::repr() const {
    return text(format("nvenc(%s/%s - %s - %sx%s)", src_format_, pixel_format_, preset_name_, width_, height_));
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

template <Ref (*F)(Encoder&, PyObject*, PyObject*)>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> Ref {
        try {
            return F(Type::cast(self), args, kwargs);
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

#define TEVU_METHOD(name, fn) {name, py::cfunction(&method<fn>), METH_VARARGS | METH_KEYWORDS, nullptr}
PyMethodDef encoder_methods[] = {
    TEVU_METHOD("init_context", m_init_context),
    TEVU_METHOD("init_buffers", m_init_buffers),
    TEVU_METHOD("compress_image", m_compress_image),
    TEVU_METHOD("set_encoding_speed", m_set_encoding_speed),
    TEVU_METHOD("set_encoding_quality", m_set_encoding_quality),
    TEVU_METHOD("update_bitrate", m_update_bitrate),
    TEVU_METHOD("get_target_pixel_format", m_get_target_pixel_format),
    TEVU_METHOD("get_target_lossless", m_get_target_lossless),
    TEVU_METHOD("clean", m_clean),
    TEVU_METHOD("get_info", m_get_info),
    TEVU_METHOD("is_closed", m_is_closed),
    TEVU_METHOD("get_width", m_get_width),
    TEVU_METHOD("get_height", m_get_height),
    TEVU_METHOD("get_type", m_get_type),
    TEVU_METHOD("get_encoding", m_get_encoding),
    TEVU_METHOD("get_src_format", m_get_src_format),
    {nullptr, nullptr, 0, nullptr},
};

// --- module initialisation ------------------------------------------------------------------------------
void check_driver() {
    Host& h = state().host;
    Ref version = py::call(h.get_nvidia_module_version.get());
    Ref verdict = py::none();
    if (!py::truth(version.get()))
        log_warn("Warning: unknown NVidia driver version");
    else
        verdict = py::call(h.is_blacklisted.get());
    Ref shown = py::call(h.pver.get(), version);
    if (verdict.get() == Py_True)
        fail(format("NVidia driver version %s is blacklisted, it does not work with NVENC", shown));
    if (verdict.get() == Py_None) {
        log_warn("Warning: NVidia driver version %s may or may not work", shown);
        log_warn(" recommended driver versions: up to 350 only");
        Ref environ = py::getattr(py::import("os").get(), "environ");
        Ref force = py::call_method(environ.get(), "get", text("TEVU_NVENC_YUV444P"), text("0"));
        if (py::str(force.get()) != "1") {
            log_warn(" disabling YUV444P and lossless mode");
            log_warn(" use TEVU_NVENC_YUV444P=1 to force enable it");
            set_module_attr("YUV444_ENABLED", py::boolean(false));
            set_module_attr("LOSSLESS_ENABLED", py::boolean(false));
        }
    }
}

// The YUV444 and lossless probes of a set-up test encoder.
void probe_capabilities(Encoder& encoder, PyObject* encoding) {
    if (py::truth(module_attr("YUV444_ENABLED").get()) &&
        encoder.query_encoder_caps(encoder.codec(), NV_ENC_CAPS_SUPPORT_YUV444_ENCODE) == 0) {
        log_warn("Warning: hardware or nvenc library version does not support YUV444");
        set_module_attr("YUV444_ENABLED", py::boolean(false));
        set_module_attr("LOSSLESS_ENABLED", py::boolean(false));
    }
    log_debug("%s YUV444 support: %s", encoding, module_attr("YUV444_ENABLED"));
    if (py::truth(module_attr("LOSSLESS_ENABLED").get()) &&
        encoder.query_encoder_caps(encoder.codec(), NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE) == 0) {
        log_warn("Warning: hardware or nvenc library version does not support lossless mode");
        set_module_attr("LOSSLESS_ENABLED", py::boolean(false));
    }
    log_debug("%s lossless support: %s", encoding, module_attr("LOSSLESS_ENABLED"));
}

// One test set-up; true when it succeeded. The test encoder is always cleaned.
bool test_encoding(PyObject* test_encoder, PyObject* encoding) {
    Ref colorspaces = py::call(module_attr("get_input_colorspaces").get(), encoding);
#if TEVU_NVENC_API_VERSION >= 0x50
    check_assert(py::truth(colorspaces.get()), format("cannot use NVENC: no colorspaces available for %s", encoding));
#else
    check_assert(py::truth(colorspaces.get()), "cannot use NVENC: no colorspaces available");
#endif
    Ref src_format = py::check(PySequence_GetItem(colorspaces.get(), 0));
    Ref dst_formats = py::call(module_attr("get_output_colorspaces").get(), encoding, src_format);
    try {
        py::call_method(test_encoder, "init_context", value(1920), value(1080), src_format, dst_formats, encoding,
                        value(50), value(50), py::tuple(value(1), value(1)), py::new_dict());
        probe_capabilities(Type::cast(test_encoder), encoding);
    } catch (const py::ErrorAlreadySet&) {
        py::PendingError error;
        if (!PyErr_GivenExceptionMatches(error.type(), state().nvenc_exception.get())) {
            py::call_method(test_encoder, "clean");
            error.restore();
            throw;
        }
        log_debug("encoder %s failed: %s", test_encoder, error.value());
        const long long code = py::as_long_long(py::getattr(error.value(), "code").get());
        const std::string message = py::str(error.value());
        py::call_method(test_encoder, "clean");
        if (code == NV_ENC_ERR_INVALID_VERSION)
            fail("version mismatch, you need a newer/older codec build or newer/older drivers");
#if TEVU_NVENC_API_VERSION >= 0x50
        fail("error initializing a test context: " + message);
#else
        log_warn("error during NVENC v4 encoder test: %s", message);
        return false;
#endif
    }
    py::call_method(test_encoder, "clean");
    return true;
}

}  // namespace

void module_initialise() {
    set_module_attr("YUV444_ENABLED", py::boolean(true));
    set_module_attr("LOSSLESS_ENABLED", py::boolean(true));
    log_debug("nvenc.init_module()");
    log_debug("NVENC encoder API version %s", py::call(module_attr("get_version").get()));
    check_driver();
    py::call(module_attr("init_nvencode_library").get());
    Ref test_encoder = py::call(module_attr("Encoder").get());
    Ref encodings = py::call(module_attr("get_encodings").get());
    bool success = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(encodings.get()); ++i)
        success = test_encoding(test_encoder.get(), PyList_GET_ITEM(encodings.get(), i)) || success;
#if TEVU_NVENC_API_VERSION < 0x50
    if (!success) fail("no NVENC v4 test encoder could be set up");
#else
    (void)success;
#endif
    log_info("NVENC v%s successfully initialized", value(kApiVersion / 16));
}

void register_encoder_type(PyObject* module) {
    static const std::string name = std::string(kModuleName) + ".Encoder";
    PyTypeObject* t = Type::define(name.c_str(), encoder_methods, &encoder_repr, "an NVENC H.264 encoding context");
    py::add_object(module, "Encoder", Ref::borrow(reinterpret_cast<PyObject*>(t)));
}

}  // namespace tevu::nvenc
