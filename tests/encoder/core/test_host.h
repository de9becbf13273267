// An EncoderHost in plain C++ for the core's tests: it formats lines as the module's host would, picks
// device 0 of the CUDA stand-in, loads the kernels into the current context, counts the sessions, and
// can be told to fail any of its calls. TestFrame is a caller's picture: desktop-like BGRX pixels in,
// the encoded stream collected.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "encoder_core.h"

namespace tevu::nvenc::testing {

// The caller's list of output formats.
struct Formats : HostObject {
    explicit Formats(std::vector<std::string> n) : names(std::move(n)) {}
    std::vector<std::string> names;
};
// Any other object of the host, shown by its name.
struct Named : HostObject {
    explicit Named(std::string n) : name(std::move(n)) {}
    std::string name;
};

// A host call the test makes fail: the HostFailure it throws.
struct InjectedHostFailure : HostFailure {
    explicit InjectedHostFailure(std::string c) : call(std::move(c)) {}
    const char* what() const noexcept override { return call.c_str(); }
    std::string call;
};

// "format" % args, with the interpreter's conversions for the values the core sends.
std::string percent_format(const std::string& format, const std::vector<Value>& args);

class TestHost final : public EncoderHost, public LogSink {
public:
    TestHost();
    ~TestHost() override;

    // what the tests set
    Settings config;
    bool yuv444 = true, lossless = true;
    bool no_device = false;
    bool debug_lines = true;  // false: the host drops debug lines
    std::string fail_call;  // a host call ("select_device", "kernel", ...) that throws
    int fail_after = 0;     // ... after this many calls of it succeeded

    // what the tests read
    std::vector<std::string> lines;  // "debug: ...", "info: ...", "warning: ..."
    std::vector<std::string> unraisable;
    int sessions = 0, sessions_opened = 0, context_failures = 0;
    int descriptions = 0;  // describe() calls for log lines (not the facts kept for get_info())
    std::vector<std::string> device_records;  // "success 0", "failure 0"
    bool logged(const std::string& text) const;

    LogSink& log_sink() override { return *this; }
    bool enabled(LogLevel level) override { return debug_lines || level != LogLevel::Debug; }
    void log(LogLevel level, const char* format, std::vector<Value> args) override;
    void log_failure(const char* message) override;
    std::string text_of(const HostRef& object, bool repr) override;
    void report_unraisable(const char* where, std::exception_ptr failure) noexcept override;
    Value describe(HostText what, const Value& subject) override;
    const Settings& settings() override { return config; }
    bool flag(HostFlag which, const char*) override {
        return which == HostFlag::Checks || (which == HostFlag::Yuv444 ? yuv444 : lossless);
    }
    bool accepts(const HostRef& formats, const char* name) override;
    double now() override;
    SelectedDevice select_device(int preferred) override;
    CUdevice device_handle(const HostRef& device) override;
    void record_device(int device, DeviceEvent event) override;
    CurrentContext current_context() override;
    HostKernel kernel(int device, const char* name) override;
    void acquire_function_list(NV_ENCODE_API_FUNCTION_LIST* table) override;
    void session_opened() override;
    void session_closed() noexcept override { --sessions; }

private:
    void maybe_fail(const char* call);
    std::map<std::string, int> calls_;
    std::map<CUcontext, CUmodule> modules_;  // the kernels, loaded once per context
    std::string kernel_image_;
};

// A desktop-like BGRX picture sequence, its encoded stream collected.
class TestFrame final : public FrameIo {
public:
    TestFrame(int width, int height) : width_(width), height_(height) {}
    // The picture of `index`, with a stride of `stride` bytes (0: packed rows).
    void picture(int index, int stride = 0, long long timestamp = -1);

    std::vector<uint8_t> pixels;
    long long width_, height_, stride_ = 0, timestamp_ = 0;
    bool packed = true, has_pixels = true;
    // False: pixels that their owner may move, as read() hands them out (zeros, in `moved_from`): only
    // current_pixels() gives them as they are.
    bool pinned = true;
    std::vector<uint8_t> moved_from;
    std::vector<uint8_t> stream;       // every bitstream handed back
    std::vector<FrameResult> results;  // every picture's result
    void keep(const EncodedFrame& encoded);
    int reads = 0, released = 0, taken_again = 0;

    Value image() override { return value("<image>"); }
    Value options() override { return value("{}"); }
    FramePicture read() override;
    PixelBytes current_pixels() override {
        ++taken_again;
        return {pixels.data(), pixels.size()};
    }
    void release_pixels() noexcept override { ++released; }
    Value report() override { return value("{report}"); }
};

}  // namespace tevu::nvenc::testing
