// The encoder module frame: import, configuration, vocabulary tables, module functions, the method table.
#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "api_traits.h"
#include "dynamic_library.h"
#include "encoder.h"
#include "guid.h"
#include "module_state.h"
#include "policy.h"
#include "tables.h"

namespace tevu::nvenc {

ModuleState& state() {
    // Never destroyed: its references must not be dropped after the interpreter has shut down.
    static ModuleState* s = new ModuleState;
    return *s;
}

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

Ref module_attr(const char* name) {
    Ref v = py::module_attr_if_present(state().module, name);
    if (!v) py::raise(PyExc_NameError, std::string("global name '") + name + "' is not defined");
    return v;
}

void set_module_attr(const char* name, const Ref& v) { py::setattr(state().module, name, v); }

void raise_nvenc(int code, const std::string& what) {
    py::raise_instance(state().nvenc_exception.get(), py::integer(code), py::text(what));
}

void raise_transient(const std::string& message) {
    py::raise_instance(state().host.TransientCodecException.get(), py::text(message));
}

Ref cuda_result_text(int code) {
    Ref key = py::integer(code);
    PyObject* table = state().host.CUDA_ERRORS_INFO.get();
    if (py::is_dict(table)) {
        Ref text = py::dict_lookup(table, key.get());
        return text ? text : key;
    }
    return py::call_method(table, "get", key, key);
}

long long counter_value(const Ref& counter) {
    return py::as_long_long(py::call_method(counter.get(), "get").get());
}

Ref plural(const Ref& count) { return py::call(state().host.engs.get(), count); }

Ref min_compute() { return api::kMinComputeAttribute ? module_attr("MIN_COMPUTE") : py_value(api::kMinCompute); }

Ref csc_function(int device_id, const char* name) {
    return py::tuple(py::text(name),
                     py::call(state().host.get_CUDA_function.get(), py_value(device_id), py::text(name)));
}

void log_failure(const char* message) {
    Ref kw = py::new_dict();
    py::dict_set(kw.get(), "exc_info", py::boolean(true));
    py::call_kw(state().log.get(), py::tuple(py::text(message)), kw);
}

void acquire_function_list(NV_ENCODE_API_FUNCTION_LIST* table) {
    *table = NV_ENCODE_API_FUNCTION_LIST{};
    table->version = api::version_word<NV_ENCODE_API_FUNCTION_LIST>();
    log_api("NvEncodeAPICreateInstance(%#x)", table);
    Ref create = module_attr("NvEncodeAPICreateInstance");
    Ref address = py::call(py::getattr(state().host.ctypes.get(), "c_void_p").get(), py_value(table));
    const long long status = py::as_long_long(py::call(create.get(), address).get());
    py_check_nvenc(static_cast<int>(status), "getting API function list");
    require(table->nvEncOpenEncodeSessionEx != nullptr, "looks like NvEncodeAPICreateInstance failed!");
    if (api::kTunedPresets && !table->nvEncGetEncodePresetConfigEx)
        py_fail("nvenc: the driver's NVENC library has no nvEncGetEncodePresetConfigEx");
}

std::array<int, 3> pretty_version() {
    return {static_cast<int>(api::kVersion >> 4), static_cast<int>(api::kVersion & 0xF), 0};
}

std::string env_text(const char* name, const char* fallback) {
    // (not "environ": Windows' C library defines that name as a macro)
    Ref os_environ = py::getattr(py::import("os").get(), "environ");
    return py::str(py::call_method(os_environ.get(), "get", py::text(name), py::text(fallback)).get());
}

namespace {

using py::call;
using py::getattr;
using py::text;


// --- NVENCException ------------------------------------------------------------------------------
PyObject* nvenc_exception_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        static const char* const kwlist[] = {"code", "fn", nullptr};
        PyObject* code = nullptr;
        PyObject* fn = nullptr;
        py::parse_args(args, kwargs, "OO:__init__", kwlist, &code, &fn);
        py::setattr(self, "function", Ref::borrow(fn));
        py::setattr(self, "code", Ref::borrow(code));
        const long c = py::as_long(code);
        if (c > INT_MAX || c < INT_MIN) py::raise(PyExc_OverflowError, "signed integer is greater than maximum");
        const std::string message = nvenc_exception_text(py::str(fn), static_cast<int>(c));
        Ref init = getattr(PyExc_Exception, "__init__");
        call(init.get(), self, text(message));
        return py::none();
    });
}

PyMethodDef nvenc_exception_init_def = {"__init__", py::cfunction(nvenc_exception_init),
                                        METH_VARARGS | METH_KEYWORDS, nullptr};

Ref define_class(const char* name, PyObject* base) {
    Ref dict = py::new_dict();
    py::dict_set(dict.get(), "__module__", text(api::kModuleName));
    return py::new_exception_class((std::string(api::kModuleName) + "." + name).c_str(), base, dict);
}

void define_exceptions(PyObject* m) {
    ModuleState& s = state();
    s.nvenc_exception = define_class("NVENCException", PyExc_Exception);
    py::add_method(s.nvenc_exception.get(), &nvenc_exception_init_def);
    py::add_object(m, "NVENCException", s.nvenc_exception);
    s.cuda_error = define_class("CUDAError", PyExc_Exception);
    s.cuda_memory_error = define_class("CUDAMemoryError", s.cuda_error.get());
    s.cuda_logic_error = define_class("CUDALogicError", s.cuda_error.get());
    py::add_object(m, "CUDAError", s.cuda_error);
    py::add_object(m, "CUDAMemoryError", s.cuda_memory_error);
    py::add_object(m, "CUDALogicError", s.cuda_logic_error);
}

// --- tables as Python objects -------------------------------------------------------------------
Ref guid_dict(Table<GuidName> items) {
    Ref d = py::new_dict();
    for (const GuidName& item : items) py::dict_set(d.get(), text(key_text(item)), text(item.name));
    return d;
}

Ref number_dict(Table<NumberName> items) {
    Ref d = py::new_dict();
    for (const NumberName& item : items) py::dict_set(d.get(), py_value(item.value), text(item.name));
    return d;
}

Ref name_tuple(Table<const char*> names) {
    std::vector<Ref> items;
    for (const char* name : names) items.push_back(text(name));
    return py::tuple_of(items);
}

Ref profiles_dict() {
    Ref d = py::new_dict();
    for (const GuidName& codec : codec_guids()) {
        Table<GuidName> profiles = profile_guids(codec.name);
        if (profiles.size) py::dict_set(d.get(), text(key_text(codec)), guid_dict(profiles));
    }
    return d;
}

Ref rank_dict(bool speed) {
    Ref d = py::new_dict();
    for (const PresetRank& rank : preset_ranks())
        py::dict_set(d.get(), rank.name, py_value(speed ? rank.speed : rank.quality));
    return d;
}

void add_tables(PyObject* m) {
    py::add_object(m, "CODEC_GUIDS", guid_dict(codec_guids()));
    py::add_object(m, "CODEC_PROFILES_GUIDS", profiles_dict());
    py::add_object(m, "CODEC_PRESETS_GUIDS", guid_dict(preset_guids()));
    py::add_object(m, "YUV444_PRESETS", name_tuple(yuv444_presets()));
    py::add_object(m, "LOSSLESS_PRESETS", name_tuple(lossless_presets()));
    py::add_object(m, "PRESET_SPEED", rank_dict(true));
    py::add_object(m, "PRESET_QUALITY", rank_dict(false));
    py::add_object(m, "BUFFER_FORMAT", number_dict(buffer_formats()));
}

// --- GUID functions ---------------------------------------------------------------------------------
Guid parse_or_raise(const std::string& s) {
    try {
        return parse_guid(s);
    } catch (const GuidFormatError& e) {
        py_fail(e.what());
    }
}

void run_test_parse() {
    const Guid g = parse_or_raise(kGuidTemplate);
    const std::string rendered = guid_text(g);
    check_assert(rendered == kGuidTemplate, "expected %s but got %s", kGuidTemplate, rendered);
}

Ref test_parse(PyObject*, PyObject*) {
    run_test_parse();
    return py::none();
}

Ref parseguid(PyObject*, PyObject* args) {
    PyObject* s = nullptr;
    py::parse_tuple(args, "O:parseguid", &s);
    const Guid g = parse_or_raise(py::str(s));
    Ref d = py::new_dict();
    py::dict_set(d.get(), "Data1", py_value(g.Data1));
    py::dict_set(d.get(), "Data2", py_value(g.Data2));
    py::dict_set(d.get(), "Data3", py_value(g.Data3));
    py::dict_set(d.get(), "Data4", py::bytes(g.Data4, sizeof g.Data4));
    return d;
}

// --- configuration --------------------------------------------------------------------------------

// The host's int() of the text, as a C int; a non-integer raises the host's ValueError.
int env_integer(const char* name, const char* fallback) {
    Ref v = py::to_integer(text(env_text(name, fallback)).get());
    const long long n = py::as_long_long(v.get());
    if (n > INT_MAX || n < INT_MIN) py::raise(PyExc_OverflowError, std::string(name) + " is out of range");
    return static_cast<int>(n);
}

// TEVU_NVENC_TUNING, for an API with tunings: a lossy session's tuning, by name; empty chooses by speed.
// The lossless tuning is not the host's to choose.
std::string desired_tuning_text() { return tuning_names().size ? env_text("TEVU_NVENC_TUNING", "") : ""; }
uint32_t desired_tuning() {
    const std::string wanted = desired_tuning_text();
    if (wanted.empty()) return 0;
    std::string accepted;
    for (const NumberName& tuning : tuning_names()) {
        if (tuning.value == NV_ENC_TUNING_INFO_LOSSLESS) continue;
        if (wanted == tuning.name) return tuning.value;
        accepted += (accepted.empty() ? "'" : ", '") + std::string(tuning.name) + "'";
    }
    py::raise(PyExc_ValueError, "TEVU_NVENC_TUNING: unknown tuning '" + wanted + "', it must be one of " + accepted);
}

Config read_config() {
    Config c;
    c.desired_preset = env_text("TEVU_NVENC_PRESET", "");
    c.yuv444_threshold = env_integer("TEVU_NVENC_YUV444_THRESHOLD", "85");
    c.lossless_threshold = env_integer("TEVU_NVENC_LOSSLESS_THRESHOLD", "100");
    c.debug_api = env_text("TEVU_NVENC_DEBUG_API", "0") == "1";
    c.desired_tuning = desired_tuning();
    return c;
}

// --- host imports ---------------------------------------------------------------------------------
void import_host() {
    Host& h = state().host;
    using py::import_from;
    // The import needs time, collections.deque and tevu.os_util._memoryview, though it keeps none of them.
    py::import("time");
    h.ctypes = py::import("ctypes");
    import_from("collections", "deque");
    py::import("binascii");
    h.AtomicInteger = import_from("tevu.util", "AtomicInteger");
    h.updict = import_from("tevu.util", "updict");
    h.engs = import_from("tevu.util", "engs");
    h.csv = import_from("tevu.util", "csv");
    h.pver = import_from("tevu.util", "pver");
    import_from("tevu.os_util", "_memoryview");
    const char* cc = "tevu.codecs.cuda_common.cuda_context";
    h.init_all_devices = import_from(cc, "init_all_devices");
    h.get_devices = import_from(cc, "get_devices");
    h.select_device = import_from(cc, "select_device");
    h.get_cuda_info = import_from(cc, "get_cuda_info");
    h.get_pycuda_info = import_from(cc, "get_pycuda_info");
    h.device_info = import_from(cc, "device_info");
    h.reset_state = import_from(cc, "reset_state");
    h.get_CUDA_function = import_from(cc, "get_CUDA_function");
    h.record_device_failure = import_from(cc, "record_device_failure");
    h.record_device_success = import_from(cc, "record_device_success");
    h.CUDA_ERRORS_INFO = import_from(cc, "CUDA_ERRORS_INFO");
    h.video_spec = import_from("tevu.codecs.codec_constants", "video_spec");
    h.TransientCodecException = import_from("tevu.codecs.codec_constants", "TransientCodecException");
    h.ImageWrapper = import_from("tevu.codecs.image_wrapper", "ImageWrapper");
    h.packed = getattr(h.ImageWrapper.get(), "PACKED");
    h.get_nvidia_module_version = import_from("tevu.codecs.nv_util", "get_nvidia_module_version");
    h.is_blacklisted = import_from("tevu.codecs.nv_util", "is_blacklisted");
    h.Logger = import_from("tevu.log", "Logger");
}

// The counter of the other build that this API's import takes over, when there is one and it is installed.
void import_counter_of_other_build(PyObject* m) {
    if (!api::kCounterImportedFrom) return;
    Ref counter = py::import_from_if_present(api::kCounterImportedFrom, "context_counter");
    if (counter) py::add_object(m, "context_counter", counter);
}

void add_config(PyObject* m) {
    ModuleState& s = state();
    s.log = call(s.host.Logger.get(), text("encoder"), text("nvenc"));
    py::add_object(m, "log", s.log);
    s.config = read_config();
    py::add_object(m, "DESIRED_PRESET", text(s.config.desired_preset));
    if (tuning_names().size) {
        py::add_object(m, "DESIRED_TUNING", text(desired_tuning_text()));
        py::add_object(m, "TUNING_INFO", number_dict(tuning_names()));
    }
    py::add_object(m, "YUV444_THRESHOLD", py_value(s.config.yuv444_threshold));
    py::add_object(m, "LOSSLESS_THRESHOLD", py_value(s.config.lossless_threshold));
    py::add_object(m, "DEBUG_API", py_value(s.config.debug_api ? 1 : 0));
    if (api::kMinComputeAttribute) py::add_object(m, "MIN_COMPUTE", py_value(api::kMinCompute));
    py::add_object(m, "CUresult", getattr(s.host.ctypes.get(), "c_int32"));
    py::add_object(m, "CUcontext", getattr(s.host.ctypes.get(), "c_void_p"));
}

void add_state(PyObject* m) {
    ModuleState& s = state();
    py::add_object(m, "YUV444_ENABLED", py::none());
    s.encodings = {EncodingSupport{all_codecs().front()->encoding()}};
    if (offers_encoding_choice()) {
        Ref support = py::new_dict();
        py::dict_set(support.get(), s.encodings.front().encoding.c_str(), py::tuple(py::boolean(false), py::boolean(false)));
        py::add_object(m, "ENCODING_SUPPORT", support);
    }
    py::add_object(m, "WIDTH_MASK", py_value(0xFFFE));
    py::add_object(m, "HEIGHT_MASK", py_value(0xFFFE));
    s.context_counter = call(s.host.AtomicInteger.get());
    s.context_gen_counter = call(s.host.AtomicInteger.get());
    py::add_object(m, "context_counter", s.context_counter);
    py::add_object(m, "context_gen_counter", s.context_gen_counter);
    py::add_object(m, "last_context_failure", py_value(0));
    Ref version = py::new_list();
    for (int part : pretty_version()) py::list_append(version.get(), py_value(part));
    py::add_object(m, "PRETTY_VERSION", version);
}

// --- module functions -----------------------------------------------------------------------------
std::string version_text() {
    const std::array<int, 3> v = pretty_version();
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]);
}

}  // namespace

// --- the encodings ------------------------------------------------------------------------------------
bool offers_encoding_choice() { return all_codecs().size() > 1; }

Ref encodings() {
    Ref l = py::new_list();
    for (const EncodingSupport& e : state().encodings) py::list_append(l.get(), text(e.encoding));
    return l;
}

bool is_encoding(PyObject* encoding) {
    Ref l = encodings();
    if (state().probing) py::list_append(l.get(), text(state().probing->encoding));
    return py::contains(l.get(), encoding);
}

namespace {

// The flags of an encoding: the one being probed, else an offered one; null for any other.
const EncodingSupport* find_support(const std::string& encoding) {
    const ModuleState& s = state();
    if (s.probing && s.probing->encoding == encoding) return &*s.probing;
    for (const EncodingSupport& e : s.encodings)
        if (e.encoding == encoding) return &e;
    return nullptr;
}

}  // namespace

Ref encoding_flag(const std::string& encoding, HostFlag which) {
    const bool yuv444 = which == HostFlag::Yuv444;
    if (encoding == state().encodings.front().encoding)
        return module_attr(yuv444 ? "YUV444_ENABLED" : "LOSSLESS_ENABLED");
    const EncodingSupport* found = find_support(encoding);
    return py::boolean(found && (yuv444 ? found->yuv444 : found->lossless));
}

namespace {

// The output colourspaces of each input colourspace, for an encoding.
Ref colorspaces(const std::string& encoding) {
    Ref out = py::truth(encoding_flag(encoding, HostFlag::Yuv444).get()) ? py::tuple(text("YUV420P"), text("YUV444P"))
                                                                         : py::tuple(text("YUV420P"));
    Ref d = py::new_dict();
    py::dict_set(d.get(), "BGRX", out);
    return d;
}

Ref cleanup_module(PyObject*, PyObject*) {
    log_debug("nvenc.cleanup_module()");
    call(state().host.reset_state.get());
    return py::none();
}

Ref get_version(PyObject*, PyObject*) { return text(version_text()); }
Ref get_type(PyObject*, PyObject*) { return text("nvenc"); }
Ref get_encodings(PyObject*, PyObject*) { return encodings(); }
Ref get_COLORSPACES(PyObject*, PyObject*) { return colorspaces(state().encodings.front().encoding); }

Ref get_input_colorspaces(PyObject*, PyObject* args) {
    PyObject* encoding = nullptr;
    py::parse_tuple(args, "O:get_input_colorspaces", &encoding);
    check_assert(is_encoding(encoding));
    return py::dict_keys(colorspaces(py::str(encoding)).get());
}

Ref get_output_colorspaces(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const kwlist[] = {"encoding", "input_colorspace", nullptr};
    PyObject* encoding = nullptr;
    PyObject* input = nullptr;
    py::parse_args(args, kwargs, "OO:get_output_colorspaces", kwlist, &encoding, &input);
    check_assert(is_encoding(encoding));
    Ref table = colorspaces(py::str(encoding));
    Ref out = py::dict_lookup(table.get(), input);
    check_assert(out && py::truth(out.get()), "invalid input colorspace: %s (must be one of: %s)", input, table);
    return out ? out : py::none();
}

// get_spec's quality; the encoding's 4:4:4 flag is only read by an API that adds to it.
int spec_quality(const std::string& encoding) {
    const api::SpecQuality& q = api::kSpecQuality;
    if (q.yuv444_bonus == 0) return q.base;
    return q.base + (py::truth(encoding_flag(encoding, HostFlag::Yuv444).get()) ? q.yuv444_bonus : 0);
}

Ref get_spec(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const kwlist[] = {"encoding", "colorspace", nullptr};
    PyObject* encoding = nullptr;
    PyObject* colorspace = nullptr;
    py::parse_args(args, kwargs, "OO:get_spec", kwlist, &encoding, &colorspace);
    check_assert(is_encoding(encoding), "invalid format: %s (must be one of %s", encoding, encodings());
    const std::string name = py::str(encoding);
    Ref table = colorspaces(name);
    const bool known = py::contains(table.get(), colorspace);
    check_assert(known, "invalid colorspace: %s (must be one of %s)", colorspace, table);
    Ref out = py::dict_lookup(table.get(), colorspace);
    Ref kw = py::new_dict();
    py::dict_set(kw.get(), "encoding", Ref::borrow(encoding));
    py::dict_set(kw.get(), "output_colorspaces", py_value(out));
    py::dict_set(kw.get(), "has_lossless_mode", encoding_flag(name, HostFlag::Lossless));
    py::dict_set(kw.get(), "codec_class", module_attr("Encoder"));
    py::dict_set(kw.get(), "codec_type", text("nvenc"));
    py::dict_set(kw.get(), "quality", py_value(spec_quality(name)));
    py::dict_set(kw.get(), "speed", py_value(100));
    py::dict_set(kw.get(), "setup_cost", py_value(80));
    py::dict_set(kw.get(), "cpu_cost", py_value(10));
    py::dict_set(kw.get(), "gpu_cost", py_value(100));
    py::dict_set(kw.get(), "min_w", py_value(32));
    py::dict_set(kw.get(), "min_h", py_value(32));
    py::dict_set(kw.get(), "max_w", py_value(4096));
    py::dict_set(kw.get(), "max_h", py_value(4096));
    py::dict_set(kw.get(), "can_scale", py::boolean(true));
    py::dict_set(kw.get(), "width_mask", module_attr("WIDTH_MASK"));
    py::dict_set(kw.get(), "height_mask", module_attr("HEIGHT_MASK"));
    Ref spec = py::call_kw(state().host.video_spec.get(), py::tuple(), kw);
    py::setattr(spec.get(), "get_runtime_factor", module_attr("get_runtime_factor"));
    return spec;
}

Ref get_runtime_factor(PyObject*, PyObject*) {
    ModuleState& s = state();
    Ref devices = call(s.host.init_all_devices.get());
    const std::size_t device_count = py::length(devices.get());
    const long long cc = counter_value(s.context_counter);
    const double last_failure = py::as_double(module_attr("last_context_failure").get());
    const double f = runtime_factor(device_count, cc, now() - last_failure);
    Ref result = py::floating(f);
    log_debug("nvenc.get_runtime_factor()=%s", result);
    return result;
}

Ref get_info(PyObject*, PyObject*) { return module_info(); }

}  // namespace

namespace {

Ref init_module(PyObject*, PyObject*) {
    module_initialise();
    return py::none();
}

Ref selftest(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const kwlist[] = {"full", nullptr};
    PyObject* full = nullptr;
    py::parse_args(args, kwargs, "|O:selftest", kwlist, &full);
    call(state().host.get_nvidia_module_version.get(), py::boolean(true));
    if (!full || !py::truth(full)) return py::none();
    Ref max_sizes = py::import_from("tevu.codecs.codec_checks", "get_encoder_max_sizes");
    Ref self = py::import(api::kModuleName);
    module_initialise();
    log_info("%s max dimensions: %s", self, call(max_sizes.get(), self));
    return py::none();
}

// --- method table -------------------------------------------------------------------------------------
template <Ref (*F)(PyObject*, PyObject*)>
PyObject* entry(PyObject* self, PyObject* args) {
    return py::guarded([&] { return F(self, args); });
}
template <Ref (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* entry_kw(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] { return F(self, args, kwargs); });
}
#define TEVU_FN(name, flags) {#name, py::cfunction(&entry<name>), flags, nullptr}
#define TEVU_FN_KW(name) \
    {#name, py::cfunction(&entry_kw<name>), METH_VARARGS | METH_KEYWORDS, nullptr}

PyMethodDef module_methods[] = {
    TEVU_FN(init_module, METH_NOARGS),
    TEVU_FN_KW(selftest),
    TEVU_FN(cleanup_module, METH_NOARGS),
    TEVU_FN(get_version, METH_NOARGS),
    TEVU_FN(get_type, METH_NOARGS),
    TEVU_FN(get_info, METH_NOARGS),
    TEVU_FN(get_encodings, METH_NOARGS),
    TEVU_FN(get_COLORSPACES, METH_NOARGS),
    TEVU_FN(get_input_colorspaces, METH_VARARGS),
    TEVU_FN_KW(get_output_colorspaces),
    TEVU_FN_KW(get_spec),
    TEVU_FN(get_runtime_factor, METH_NOARGS),
    TEVU_FN(parseguid, METH_VARARGS),
    TEVU_FN(test_parse, METH_NOARGS),
    TEVU_FN(init_nvencode_library, METH_NOARGS),
    TEVU_FN(get_CUDA_CSC_function, METH_VARARGS),
    TEVU_FN(get_BGRA2NV12, METH_VARARGS),
    TEVU_FN(get_BGRA2YUV444, METH_VARARGS),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The module-level dictionary of get_info(), also the base of each encoder's.
Ref module_info() {
    ModuleState& s = state();
    Ref d = py::new_dict();
    py::dict_set(d.get(), "version", module_attr("PRETTY_VERSION"));
    Ref kernel_module = call(s.host.get_nvidia_module_version.get(), py::boolean(false));
    if (py::truth(kernel_module.get())) py::dict_set(d.get(), "kernel_module_version", kernel_module);
    if (py::str(getattr(py::import("sys").get(), "platform").get()).rfind("linux", 0) == 0) {
        Ref platform = py::import_from("tevu.scripts.config", "python_platform");
        Ref uname = py::call_method(platform.get(), "uname");
        py::dict_set(d.get(), "kernel_version", py::item(uname.get(), 2));
    }
    Ref devices = call(s.host.get_devices.get());
    const std::size_t count = py::truth(devices.get()) ? py::length(devices.get()) : 0;
    py::dict_set(d.get(), "device_count", py_value(static_cast<long long>(count)));
    py::dict_set(d.get(), "context_count", py::call_method(s.context_counter.get(), "get"));
    py::dict_set(d.get(), "generation", py::call_method(s.context_gen_counter.get(), "get"));
    const double last = py::as_double(module_attr("last_context_failure").get());
    if (last > 0) py::dict_set(d.get(), "last_failure", py_value(static_cast<long long>(now() - last)));
    return d;
}

}  // namespace tevu::nvenc

TEVU_PY_MODULE_INIT(encoder) {
    using namespace tevu::nvenc;
    Ref module = tevu::py::create_module(api::kModuleName, module_methods, "H.264 encoder over NVENC");
    PyObject* m = module.get();
    state().module = m;
    register_encoder_type(m);
    import_host();
    import_counter_of_other_build(m);
    add_config(m);
    tevu::py::add_object(m, "NV_ENC_STATUS_TXT", number_dict(status_texts()));
    tevu::py::add_object(m, "CAPS_NAMES", number_dict(caps_names()));
    tevu::py::add_object(m, "CUDA_ERRORS_INFO", state().host.CUDA_ERRORS_INFO);
    tevu::py::add_object(m, "NvEncodeAPICreateInstance", tevu::py::none());
    tevu::py::add_object(m, "cuCtxGetCurrent", tevu::py::none());
    run_test_parse();
    add_tables(m);
    add_state(m);
    define_exceptions(m);
    return module;
}
