// What the encoder module's units share: the host services imported at load, the configuration,
// the module's own exception types, logging and NVENC status checks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "pyutil.h"

#include "encoder_host.h"
#include "nvenc_api.h"

namespace tevu::nvenc {

using py::Ref;

// The API version as PRETTY_VERSION shows it: [major, minor, 0].
std::array<int, 3> pretty_version();
// os.environ.get(name, fallback) as text.
std::string env_text(const char* name, const char* fallback);
// The minimum compute capability passed to the device selection.
Ref min_compute();
// The host's kernel for a device: the pair (name, kernel or None).
Ref csc_function(int device_id, const char* name);
// Fills a session's entry-point table through NvEncodeAPICreateInstance.
void acquire_function_list(NV_ENCODE_API_FUNCTION_LIST* table);

// The module's settings (TEVU_NVENC_*), read at import.
using Config = Settings;

// Host services, imported by name at load.
struct Host {
    Ref AtomicInteger, updict, engs, csv, pver;
    Ref init_all_devices, get_devices, select_device, get_cuda_info, get_pycuda_info, device_info, reset_state,
        get_CUDA_function, record_device_failure, record_device_success, CUDA_ERRORS_INFO;
    Ref video_spec, TransientCodecException, ImageWrapper, packed;
    Ref get_nvidia_module_version, is_blacklisted, Logger;
    Ref ctypes;
};

// An encoding the module offers, and whether its streams may be 4:4:4 and lossless. The first encoding's
// flags are the module attributes YUV444_ENABLED and LOSSLESS_ENABLED, read as they stand.
struct EncodingSupport {
    std::string encoding;
    bool yuv444 = false;
    bool lossless = false;
};

struct ModuleState {
    PyObject* module = nullptr;  // the module lives as long as the process
    Config config;
    Host host;
    Ref log;
    Ref nvenc_exception, cuda_error, cuda_memory_error, cuda_logic_error;
    Ref context_counter, context_gen_counter;
    // The encodings the last successful init_module() found usable, in the order of preference; before
    // one, the first encoding alone.
    std::vector<EncodingSupport> encodings;
    // The encoding whose test encoder init_module() is setting up: offered for that while.
    std::optional<EncodingSupport> probing;
};

ModuleState& state();

// --- the encodings ------------------------------------------------------------------------------------
// Whether the module offers a choice of encodings (its build has several codecs): ENCODING_SUPPORT, the
// optional encodings' probes, and init_context's ValueError for an encoding it does not offer.
bool offers_encoding_choice();
// get_encodings(): a new list.
Ref encodings();
// Whether `encoding` is one of get_encodings(), or the one init_module() is probing.
bool is_encoding(PyObject* encoding);
// An encoding's 4:4:4 or lossless flag as the host sees it: the attribute for the first encoding, a
// boolean for the others (false for an encoding not offered).
Ref encoding_flag(const std::string& encoding, HostFlag which);

// --- values for log arguments and messages ---------------------------------------------------------
inline Ref py_value(const Ref& r) { return r ? r : py::none(); }
inline Ref py_value(PyObject* p) { return p ? Ref::borrow(p) : py::none(); }
// Any other value as the core's values show it (host_value.h).
Ref to_python(const Value& v);
template <class T>
Ref py_value(const T& v) {
    return to_python(value(v));
}

// "fmt % (args...)" as the interpreter formats it.
template <class... A>
std::string format(const char* fmt, const A&... args) {
    Ref t = py::tuple(py_value(args)...);
    Ref f = py::text(fmt);
    return py::str(py::percent_format(f, t).get());
}

// --- logging through the host logger ----------------------------------------------------------------
template <class... A>
void log_at(const char* level, const char* fmt, const A&... args) {
    Ref method = level ? py::getattr(state().log.get(), level) : state().log;
    py::call(method.get(), py::text(fmt), py_value(args)...);
}
template <class... A>
void log_debug(const char* fmt, const A&... args) {
    log_at(nullptr, fmt, args...);
}
template <class... A>
void log_info(const char* fmt, const A&... args) {
    log_at("info", fmt, args...);
}
template <class... A>
void log_warn(const char* fmt, const A&... args) {
    log_at("warn", fmt, args...);
}
// A debug line logged only when the API tracing is on.
template <class... A>
void log_api(const char* fmt, const A&... args) {
    if (state().config.debug_api) log_debug(fmt, args...);
}

// --- module attributes (the mutable module-wide state lives there, readable by the host) ------------
Ref module_attr(const char* name);  // NameError when undefined, like a global of the module
void set_module_attr(const char* name, const Ref& v);
double now();  // seconds since the epoch

// --- failures ----------------------------------------------------------------------------------------
// Raises NVENCException(code, what) for a non-zero status.
[[noreturn]] void raise_nvenc(int code, const std::string& what);
inline void py_check_nvenc(int code, const std::string& what) {
    if (code != 0) raise_nvenc(code, what);
}
// The generic exception with a message.
[[noreturn]] inline void py_fail(const std::string& message) { py::raise(PyExc_Exception, message); }
// A check that guards the encoder's state, made whether or not assertions run: AssertionError with the
// message, or under python -O the generic exception with the same message. The message ("fmt" % args)
// is only formatted when the check fails.
template <class... A>
void require(bool ok, const char* fmt, const A&... args) {
    if (ok) return;
    const std::string message = sizeof...(A) == 0 ? std::string(fmt) : format(fmt, args...);
    if (py::assertions_disabled()) py_fail(message);
    py::raise(PyExc_AssertionError, message);
}
// An assertion check with a message ("fmt" % args, formatted only on failure); skipped under python -O.
template <class... A>
void check_assert(bool ok, const char* fmt, const A&... args) {
    if (ok || py::assertions_disabled()) return;
    py::check_assert(false, (sizeof...(A) == 0 ? std::string(fmt) : format(fmt, args...)).c_str());
}
// A bare assertion check.
inline void check_assert(bool ok) { py::check_assert(ok); }
// The host's TransientCodecException.
[[noreturn]] void raise_transient(const std::string& message);
// CUDA result code rendered with the host's table, the number itself when absent.
Ref cuda_result_text(int code);
// Logs a debug line with the traceback of the exception being raised, which stays pending.
void log_failure(const char* message);

// The counters as plain numbers.
long long counter_value(const Ref& counter);
// The host's plural suffix for a count.
Ref plural(const Ref& count);

}  // namespace tevu::nvenc
