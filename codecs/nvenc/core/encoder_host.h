// What the encoder core needs from the application that hosts it, as one interface: log lines and the
// text of the host's objects, the module's settings and flags, device selection and its bookkeeping, the
// kernel lookup, the session counters and the clock. The module implements it over the host package
// (module_host.cpp); the core's tests implement it in plain C++.
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

class EncoderHost {
public:
    virtual ~EncoderHost() = default;

    // --- log lines and messages
    // Log lines are "format" % args as the host formats them; the core formats its messages itself
    // (host_format.h), asking the host only for the text of the host's own objects.
    // Whether the host keeps lines of `level`: a line it drops is neither made nor sent.
    virtual bool enabled(LogLevel level) = 0;
    virtual void log(LogLevel level, const char* format, std::vector<Value> args) = 0;
    // A debug line with the host's traceback of the failure being handled.
    virtual void log_failure(const char* message) = 0;
    // The host's text of one of its objects: its repr() when `repr`, else its str().
    virtual std::string text_of(const HostRef& object, bool repr) = 0;
    // False when the host runs with its assertion checks off.
    virtual bool checks_enabled() = 0;
    // A failure that cannot be raised to anyone (a capability query made for a log line).
    virtual void report_unraisable(const char* where, std::exception_ptr failure) noexcept = 0;

    // --- settings and flags
    virtual const Settings& settings() = 0;
    virtual bool yuv444_enabled() = 0;
    virtual bool lossless_enabled() = 0;
    // Whether the caller's list of output formats (given at set-up) holds `name`.
    virtual bool accepts(const HostRef& formats, const char* name) = 0;
    virtual double now() = 0;  // seconds since the epoch
    virtual Value version() = 0;  // the module's version, for log lines

    // --- devices
    virtual SelectedDevice select_device(int preferred) = 0;
    virtual Value device_info(const HostRef& device) = 0;
    virtual CUdevice device_handle(const HostRef& device) = 0;
    virtual void record_device_success(int device) = 0;
    virtual void record_device_failure(int device) = 0;
    // A context or session the driver could not make for lack of resources, at this moment.
    virtual void note_context_failure() = 0;
    virtual Value cuda_info() = 0;
    virtual Value binding_info() = 0;
    virtual CurrentContext current_context() = 0;
    virtual Value cuda_result_text(int code) = 0;
    virtual HostKernel kernel(int device, const char* name) = 0;

    // --- NVENC
    virtual void acquire_function_list(NV_ENCODE_API_FUNCTION_LIST* table) = 0;
    virtual void session_opened() = 0;
    virtual void session_closed() noexcept = 0;
    virtual Value sessions_in_use() = 0;
    virtual Value plural(const Value& count) = 0;
    // The keys of a dictionary as the host lists them in a line.
    virtual Value keys_text(const Value& dict) = 0;
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
