// What the encoder core needs from the application that hosts it: a sink for its log lines (and the
// text of the host's objects), the host's descriptions for those lines, the module's settings and flags,
// device selection and its bookkeeping, the kernel lookup, the session counters and the clock. The module
// implements it over the host package (module_host.cpp); the core's tests implement it in plain C++.
//
// A host call that fails throws (a HostFailure, or anything else the host chooses); the core lets it
// through like its own failures and keeps its state consistent.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "cuda_driver_api.h"
#include "host_value.h"
#include "nvenc_api.h"

namespace tevu::nvenc {

enum class LogLevel { Debug, Info, Warn };

// The module's settings, read once as it loads.
struct Settings {
    std::string desired_preset;
    int yuv444_threshold = 85;
    int lossless_threshold = 100;
    bool debug_api = false;
    uint32_t desired_tuning = 0;  // an API with tunings: the one a lossy session takes; 0 chooses by speed
};

// The device the host chose for a set-up: its number and the host's device object (null: none usable).
struct SelectedDevice {
    int number = -1;
    HostRef device;
};

// A colour-conversion kernel as the host hands it over: the host's object, which keeps its module
// loaded (null: the host has none), and the function.
struct HostKernel {
    HostRef object;
    CUfunction function = nullptr;
};

// The CUDA driver's current context, as the host's own binding of cuCtxGetCurrent reports it.
struct CurrentContext {
    int result = 0;
    void* pointer = nullptr;
};

// A failure of a host call, carried through the core to the host again.
class HostFailure : public std::exception {
public:
    const char* what() const noexcept override { return "the host reported a failure"; }
};

// Where the core's log lines go, and the host's text of its own objects.
class LogSink {
public:
    virtual ~LogSink() = default;
    // Log lines are "format" % args as the host formats them; the core formats its messages itself
    // (host_format.h), asking the host only for the text of the host's own objects.
    // Whether the host keeps lines of `level`: a line it drops is neither made nor sent.
    virtual bool enabled(LogLevel level) = 0;
    virtual void log(LogLevel level, const char* format, std::vector<Value> args) = 0;
    // A debug line with the host's traceback of the failure being handled.
    virtual void log_failure(const char* message) = 0;
    // The host's text of one of its objects: its repr() when `repr`, else its str().
    virtual std::string text_of(const HostRef& object, bool repr) = 0;
    // A failure that cannot be raised to anyone (a capability query made for a log line).
    virtual void report_unraisable(const char* where, std::exception_ptr failure) noexcept = 0;
};

// The module's flags, read as they stand when asked (init_module() sets the formats' flags, one pair
// per encoding).
enum class HostFlag {
    Checks,    // false when the host runs with its assertion checks off
    Yuv444,    // 4:4:4 may be chosen for the encoding
    Lossless,  // lossless may be chosen for the encoding
};

// What the host describes for the core's log lines and facts: values the core shows but never reads.
enum class HostText {
    Version,        // the module's version
    CudaInfo,       // the CUDA driver, as the host describes it
    BindingInfo,    // the host's CUDA binding
    SessionsInUse,  // the module's count of encoder contexts in use
    DeviceInfo,     // subject: the host's device object
    CudaResult,     // subject: a CUresult, by its name where the host knows it
    Plural,         // subject: a count; the plural suffix for it
    Keys,           // subject: a dictionary; its keys as the host lists them in a line
};

// What happened on a device, for the host's choice of devices.
enum class DeviceEvent {
    Success,        // an encoder was set up on it
    Failure,        // its set-up failed
    OutOfResources, // the driver could not make a context or session there, at this moment
};

class EncoderHost {
public:
    virtual ~EncoderHost() = default;

    virtual LogSink& log_sink() = 0;
    virtual Value describe(HostText what, const Value& subject = Value()) = 0;

    // --- settings, flags and the clock
    virtual const Settings& settings() = 0;
    // `encoding` names the session's encoding (the host's name) for the formats' flags; null for Checks.
    virtual bool flag(HostFlag which, const char* encoding) = 0;
    // Whether the caller's list of output formats (given at set-up) holds `name`.
    virtual bool accepts(const HostRef& formats, const char* name) = 0;
    virtual double now() = 0;  // seconds since the epoch

    // --- devices
    virtual SelectedDevice select_device(int preferred) = 0;
    virtual CUdevice device_handle(const HostRef& device) = 0;
    virtual void record_device(int device, DeviceEvent event) = 0;
    virtual CurrentContext current_context() = 0;
    virtual HostKernel kernel(int device, const char* name) = 0;

    // --- NVENC
    virtual void acquire_function_list(NV_ENCODE_API_FUNCTION_LIST* table) = 0;
    virtual void session_opened() = 0;
    virtual void session_closed() noexcept = 0;
};

// While the core waits for the driver, the host may let other threads run (an interpreter's lock). The
// host installs the two hooks once; without them a blocking section does nothing.
struct BlockingHooks {
    void* (*enter)() noexcept = nullptr;  // returns what leave() needs
    void (*leave)(void*) = nullptr;       // may end the thread (it then never returns)
};
void install_blocking_hooks(BlockingHooks hooks) noexcept;

class BlockingSection {
public:
    BlockingSection() noexcept;
    ~BlockingSection() noexcept(false);
    BlockingSection(const BlockingSection&) = delete;
    BlockingSection& operator=(const BlockingSection&) = delete;

private:
    void* token_ = nullptr;
    bool entered_ = false;
};

// A driver call made in a blocking section; its status as an int.
template <class F>
int unlocked(F&& call) {
    BlockingSection section;
    return static_cast<int>(call());
}

}  // namespace tevu::nvenc
