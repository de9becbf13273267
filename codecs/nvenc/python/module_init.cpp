// init_module(): the driver verdict, the NVENC and CUDA libraries opened through ctypes, and a test
// encoder set up for each encoding; and the module's kernel getters.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "api_traits.h"
#include "dynamic_library.h"
#include "encoder.h"
#include "module_state.h"
#include "tables.h"

namespace tevu::nvenc {
namespace {

using py::call;
using py::getattr;
using py::text;

// --- library loading --------------------------------------------------------------------------------
bool on_windows() { return py::str(getattr(py::import("sys").get(), "platform").get()).rfind("win", 0) == 0; }

// Opens a library with the loader under each of its names in turn; when none opens, the module's "cannot
// be loaded" failure names the library and carries every loader error.
Ref open_library(const Ref& load, const cuda::LibraryNames& names) {
    std::string errors;
    for (const std::string& file : names.files) {
        log_debug("init_nvencode_library() will try to load %s", file);
        Ref library;
        try {
            library = py::call(load.get(), text(file));
        } catch (const py::ErrorAlreadySet&) {
            py::PendingError error;
            errors += (errors.empty() ? "" : "; ") + py::str(error.value());
            continue;
        }
        log_debug("init_nvencode_library() %s(%s)=%s", load, file, library);
        const Ref handle = getattr(library.get(), "_handle");
        const std::string path =
            cuda::DynamicLibrary::loaded_file(reinterpret_cast<void*>(py::as_long_long(handle.get())));
        log_debug("init_nvencode_library() opened %s", path.empty() ? file : path);
        return library;
    }
    py_fail(format("nvenc: the required library %s cannot be loaded: %s", names.name, errors));
}

// Binds an entry point and declares its signature (a 32-bit signed result, one pointer argument).
Ref bind(const Ref& library, const char* symbol, const Ref& argument_type) {
    Ref fn = getattr(library.get(), symbol);
    py::setattr(fn.get(), "restype", getattr(state().host.ctypes.get(), "c_int32"));
    Ref argtypes = py::new_list();
    py::list_append(argtypes.get(), argument_type);
    py::setattr(fn.get(), "argtypes", argtypes);
    return fn;
}

// Logs the newest API the opened NVENC library speaks beside the one this module uses, and returns it; 0
// when the library does not tell.
uint32_t log_newest_api(const Ref& nvenc) {
    const std::string module_api = api_version_text(api::kVersion);
    Ref fn;
    try {
        fn = getattr(nvenc.get(), "NvEncodeAPIGetMaxSupportedVersion");
    } catch (const py::ErrorAlreadySet&) {
        py::clear_error();
        log_debug("init_nvencode_library() NVENC API %s, the library does not tell its newest", module_api);
        return 0;
    }
    PyObject* ctypes = state().host.ctypes.get();
    Ref address = getattr(call(getattr(ctypes, "cast").get(), fn, getattr(ctypes, "c_void_p")).get(), "value");
    const NewestApi newest = query_newest_api(reinterpret_cast<void*>(py::as_long_long(address.get())));
    if (newest.status == NV_ENC_SUCCESS) {
        log_debug("init_nvencode_library() NVENC API %s, the library's newest %s", module_api,
                  api_version_text(newest.version));
        return newest.version;
    }
    log_debug("init_nvencode_library() NVENC API %s, NvEncodeAPIGetMaxSupportedVersion returned %s", module_api,
              status_info(newest.status));
    return 0;
}

}  // namespace

Ref init_nvencode_library(PyObject*, PyObject*) {
    PyObject* ctypes = state().host.ctypes.get();
    const bool windows = on_windows();
    const Ref load = getattr(ctypes, windows ? "WinDLL" : "CDLL");
    const cuda::LibraryNames nvenc_libname = cuda::nvenc_library(windows);
    const cuda::LibraryNames cuda_libname = cuda::cuda_driver_library(windows);

    Ref cuda = open_library(load, cuda_libname);
    Ref context_pointer = call(getattr(ctypes, "POINTER").get(), module_attr("CUcontext"));
    Ref get_current = bind(cuda, "cuCtxGetCurrent", context_pointer);
    set_module_attr("cuCtxGetCurrent", get_current);
    log_debug("init_nvencode_library() %s.cuCtxGetCurrent=%s",
              cuda_libname.name.substr(0, cuda_libname.name.find('.')), get_current);

    Ref nvenc = open_library(load, nvenc_libname);
    Ref create_instance = bind(nvenc, "NvEncodeAPICreateInstance", getattr(ctypes, "c_void_p"));
    set_module_attr("NvEncodeAPICreateInstance", create_instance);
    log_debug("init_nvencode_library() NvEncodeAPICreateInstance=%s", create_instance);
    const uint32_t newest = log_newest_api(nvenc);
    // No session is to be attempted with a library that cannot serve this API, or whose function list
    // lacks what this API cannot do without.
    try {
        if (api::kOldestDriverApi && newest < api::kOldestDriverApi)
            py_fail(format("nvenc: the driver supports NVENC API %s, this module needs %s or later (driver 520 or later)",
                           newest ? api_version_text(newest) : std::string("an unknown version"),
                           api_version_text(api::kOldestDriverApi)));
        if (api::kTunedPresets) {
            NV_ENCODE_API_FUNCTION_LIST functions;
            acquire_function_list(&functions);
        }
    } catch (const py::ErrorAlreadySet&) {
        py::PendingError failure;
        set_module_attr("NvEncodeAPICreateInstance", py::none());
        failure.restore();
        throw;
    }
    return py::none();
}

// --- CUDA kernel getters --------------------------------------------------------------------------

Ref get_CUDA_CSC_function(PyObject*, PyObject* args) {
    int device_id = 0;
    const char* name = nullptr;
    py::parse_tuple(args, "is:get_CUDA_CSC_function", &device_id, &name);
    return csc_function(device_id, name);
}
Ref get_BGRA2NV12(PyObject*, PyObject* args) {
    int device_id = 0;
    py::parse_tuple(args, "i:get_BGRA2NV12", &device_id);
    return csc_function(device_id, "BGRA_to_NV12");
}
Ref get_BGRA2YUV444(PyObject*, PyObject* args) {
    int device_id = 0;
    py::parse_tuple(args, "i:get_BGRA2YUV444", &device_id);
    return csc_function(device_id, "BGRA_to_YUV444");
}

namespace {

// --- module initialisation: the driver verdict, the library, a test encoder --------------------------
void check_driver() {
    Host& h = state().host;
    Ref version = py::call(h.get_nvidia_module_version.get());
    Ref verdict = py::none();
    if (!py::truth(version.get()))
        log_warn("Warning: unknown NVidia driver version");
    else
        verdict = py::call(h.is_blacklisted.get());
    Ref shown = py::call(h.pver.get(), version);
    if (py::is_true_object(verdict.get()))
        py_fail(format("NVidia driver version %s is blacklisted, it does not work with NVENC", shown));
    if (py::is_none(verdict.get()) && api::kRecommendedDrivers) {
        log_warn("Warning: NVidia driver version %s may or may not work", shown);
        log_warn(api::kRecommendedDrivers);
        if (env_text("TEVU_NVENC_YUV444P", "0") != "1") {
            log_warn(" disabling YUV444P and lossless mode");
            log_warn(" use TEVU_NVENC_YUV444P=1 to force enable it");
            set_module_attr("YUV444_ENABLED", py::boolean(false));
            set_module_attr("LOSSLESS_ENABLED", py::boolean(false));
        }
    }
}

// The 4:4:4 and lossless probes of a set-up test encoder, on the flags of its encoding.
void probe_capabilities(PyObject* encoder, PyObject* encoding, EncodingSupport& support) {
    if (support.yuv444 && encoder_capability(encoder, NV_ENC_CAPS_SUPPORT_YUV444_ENCODE) == 0) {
        log_warn("Warning: hardware or nvenc library version does not support YUV444");
        support.yuv444 = support.lossless = false;
    }
    log_debug("%s YUV444 support: %s", encoding, py::boolean(support.yuv444));
    if (support.lossless && encoder_capability(encoder, NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE) == 0) {
        log_warn("Warning: hardware or nvenc library version does not support lossless mode");
        support.lossless = false;
    }
    log_debug("%s lossless support: %s", encoding, py::boolean(support.lossless));
}

// A test encoder that the driver refused: the API's failure, or its warning and false.
bool test_encoder_refused(const std::string& message) {
    const api::TestEncoderRules& rules = api::kTestEncoderRules;
    if (rules.failure_is_fatal) py_fail(format(rules.failure_format, message));
    log_warn(rules.failure_format, message);
    return false;
}

// One test set-up of an encoding, which `on_set_up` probes before the test encoder is cleaned (always).
template <class OnSetUp>
void set_up_test_encoder(PyObject* test_encoder, PyObject* encoding, OnSetUp on_set_up) {
    Ref colorspaces = py::call(module_attr("get_input_colorspaces").get(), encoding);
    check_assert(py::truth(colorspaces.get()), api::no_colorspaces_message(format("%s", encoding)).c_str());
    Ref src_format = py::item(colorspaces.get(), 0);
    Ref dst_formats = py::call(module_attr("get_output_colorspaces").get(), encoding, src_format);
    try {
        py::call_method(test_encoder, "init_context", py_value(1920), py_value(1080), src_format, dst_formats, encoding,
                        py_value(50), py_value(50), py::tuple(py_value(1), py_value(1)), py::new_dict());
        on_set_up();
    } catch (const py::ErrorAlreadySet&) {
        py::PendingError error;
        py::call_method(test_encoder, "clean");
        error.restore();
        throw;
    }
    py::call_method(test_encoder, "clean");
}

// The first encoding, which every device has, under the API's rules for a refused test encoder: true when
// it was set up, with its flags probed and the codecs its session listed.
bool test_required_encoding(PyObject* test_encoder, const Codec& codec, EncodingSupport& support,
                            std::vector<const Codec*>& listed) {
    Ref encoding = text(codec.encoding());
    try {
        set_up_test_encoder(test_encoder, encoding.get(), [&] {
            support.yuv444 = py::truth(module_attr("YUV444_ENABLED").get());
            support.lossless = py::truth(module_attr("LOSSLESS_ENABLED").get());
            probe_capabilities(test_encoder, encoding.get(), support);
            set_module_attr("YUV444_ENABLED", py::boolean(support.yuv444));
            set_module_attr("LOSSLESS_ENABLED", py::boolean(support.lossless));
            for (const Codec* c : all_codecs())
                if (encoder_lists_codec(test_encoder, *c)) listed.push_back(c);
        });
    } catch (const py::ErrorAlreadySet&) {
        py::PendingError error;
        if (!error.matches(state().nvenc_exception.get())) {
            error.restore();
            throw;
        }
        log_debug("encoder %s failed: %s", test_encoder, error.value());
        const long long code = py::as_long_long(py::getattr(error.value(), "code").get());
        if (code == NV_ENC_ERR_INVALID_VERSION)
            py_fail("version mismatch, you need a newer/older codec build or newer/older drivers");
        return test_encoder_refused(py::str(error.value()));
    }
    return true;
}

// An optional encoding: left out, with a line that says why, when the device does not list its codec or
// its test set-up fails; otherwise what it supports within what the driver's standing `allowed`.
std::optional<EncodingSupport> test_optional_encoding(PyObject* test_encoder, const Codec& codec, bool listed,
                                                      const EncodingSupport& allowed) {
    Ref encoding = text(codec.encoding());
    if (!listed) {
        log_debug("%s not offered by this device", encoding);
        return std::nullopt;
    }
    std::optional<EncodingSupport>& probing = state().probing;
    probing = EncodingSupport{codec.encoding(), allowed.yuv444 && codec.has_yuv444(),
                              allowed.lossless && codec.has_yuv444()};
    try {
        set_up_test_encoder(test_encoder, encoding.get(),
                            [&] { probe_capabilities(test_encoder, encoding.get(), *probing); });
    } catch (const py::ErrorAlreadySet&) {
        py::PendingError error;
        probing.reset();
        if (!error.matches(PyExc_Exception)) {
            error.restore();
            throw;
        }
        log_warn("nvenc: %s disabled: %s", encoding, error.value());
        return std::nullopt;
    }
    const EncodingSupport found = *probing;
    probing.reset();
    return found;
}

// The encodings found become the module's: get_encodings() and ENCODING_SUPPORT.
void offer_encodings(std::vector<EncodingSupport> found) {
    state().encodings = std::move(found);
    Ref support = py::new_dict();
    std::string names;
    for (const EncodingSupport& e : state().encodings) {
        py::dict_set(support.get(), e.encoding.c_str(), py::tuple(py::boolean(e.yuv444), py::boolean(e.lossless)));
        names += (names.empty() ? "" : ", ") + e.encoding;
    }
    set_module_attr("ENCODING_SUPPORT", support);
    log_info("NVENC v%s successfully initialized with %s", py_value(pretty_version()[0]), names);
}

}  // namespace

void module_initialise() {
    set_module_attr("YUV444_ENABLED", py::boolean(true));
    set_module_attr("LOSSLESS_ENABLED", py::boolean(true));
    log_debug("nvenc.init_module()");
    log_debug("NVENC encoder API version %s", py::call(module_attr("get_version").get()));
    check_driver();
    py::call(module_attr("init_nvencode_library").get());
    // What the driver's standing leaves to every encoding.
    const EncodingSupport allowed{"", py::truth(module_attr("YUV444_ENABLED").get()),
                                  py::truth(module_attr("LOSSLESS_ENABLED").get())};
    Ref test_encoder = py::call(module_attr("Encoder").get());
    const std::vector<const Codec*>& codecs = all_codecs();
    std::vector<EncodingSupport> found = {EncodingSupport{codecs.front()->encoding()}};
    std::vector<const Codec*> listed;
    if (!test_required_encoding(test_encoder.get(), *codecs.front(), found.front(), listed) &&
        api::kTestEncoderRules.none_set_up)
        py_fail(api::kTestEncoderRules.none_set_up);
    if (!offers_encoding_choice()) {
        log_info("NVENC v%s successfully initialized", py_value(pretty_version()[0]));
        return;
    }
    for (std::size_t i = 1; i < codecs.size(); ++i) {
        const bool offered = std::find(listed.begin(), listed.end(), codecs[i]) != listed.end();
        if (std::optional<EncodingSupport> support = test_optional_encoding(test_encoder.get(), *codecs[i], offered, allowed))
            found.push_back(*support);
    }
    offer_encodings(std::move(found));
}

}  // namespace tevu::nvenc
