// The encoder core's failures, its log lines through the host, and the first-failure rule of a teardown.
// The core raises C++ exceptions only; the binding turns them into the module's exceptions.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuda_layer.h"
#include "encoder_host.h"
#include "host_format.h"
#include "thread_exit.h"

namespace tevu::nvenc {

class EncoderError : public std::runtime_error {
public:
    enum class Kind {
        Generic,    // the generic exception
        Check,      // a check that guards the encoder's state: an assertion, or the generic one without them
        Assertion,  // an assertion check (only made while the host's checks are on)
        Transient,  // a failure that may pass: no context or session to be had right now
        Nvenc,      // a driver status: code() and what(), the operation
        Value,      // a value the caller gave
        Overflow,   // a number out of range
    };
    EncoderError(Kind kind, const std::string& message, int code = 0)
        : std::runtime_error(message), kind_(kind), code_(code) {}
    Kind kind() const noexcept { return kind_; }
    int code() const noexcept { return code_; }

private:
    Kind kind_;
    int code_;
};

[[noreturn]] inline void fail(const std::string& message) { throw EncoderError(EncoderError::Kind::Generic, message); }
[[noreturn]] inline void raise(EncoderError::Kind kind, const std::string& message) { throw EncoderError(kind, message); }
inline void check_nvenc(int status, const std::string& operation) {
    if (status != 0) throw EncoderError(EncoderError::Kind::Nvenc, operation, status);
}

// Log lines and messages through the host.
class HostLog {
public:
    explicit HostLog(EncoderHost& host) : host_(host), sink_(host.log_sink()) {}
    EncoderHost& host() const noexcept { return host_; }

    // A line is made (its arguments, lazy ones included) only when the host keeps lines of its level.
    template <class... A>
    void debug(const char* fmt, const A&... args) const {
        line(LogLevel::Debug, fmt, args...);
    }
    template <class... A>
    void info(const char* fmt, const A&... args) const {
        line(LogLevel::Info, fmt, args...);
    }
    template <class... A>
    void warn(const char* fmt, const A&... args) const {
        line(LogLevel::Warn, fmt, args...);
    }
    // A debug line logged only when the API tracing is on.
    template <class... A>
    void api(const char* fmt, const A&... args) const {
        if (host_.settings().debug_api) debug(fmt, args...);
    }
    template <class... A>
    std::string format(const char* fmt, const A&... args) const {
        return percent_format(fmt, {value(args)...},
                              [this](const HostRef& object, bool repr) { return sink_.text_of(object, repr); });
    }
    // A check that guards the encoder's state, made whether or not the host's checks are on.
    template <class... A>
    void require(bool ok, const char* fmt, const A&... args) const {
        if (!ok) throw EncoderError(EncoderError::Kind::Check, sizeof...(A) == 0 ? std::string(fmt) : format(fmt, args...));
    }
    // An assertion check, skipped while the host's checks are off; a null format: a bare one.
    template <class... A>
    void check(bool ok, const char* fmt = nullptr, const A&... args) const {
        if (ok || !host_.flag(HostFlag::Checks, nullptr)) return;
        throw EncoderError(EncoderError::Kind::Assertion,
                           !fmt ? std::string() : sizeof...(A) == 0 ? std::string(fmt) : format(fmt, args...));
    }

private:
    template <class... A>
    void line(LogLevel level, const char* fmt, const A&... args) const {
        if (sink_.enabled(level)) sink_.log(level, fmt, {value(args)...});
    }

    EncoderHost& host_;
    LogSink& sink_;
};

// The first failure of a sequence of steps that must all run (a teardown): later failures are dropped,
// the first one is raised at the end.
class FirstFailure {
public:
    template <class Step>
    void run(Step&& step) {
        try {
            step();
        } catch (const EncoderError&) {
            keep();
        } catch (const cuda::Error&) {
            keep();
        } catch (const HostFailure&) {
            keep();
        }
    }
    explicit operator bool() const noexcept { return bool(first_); }
    void raise_if_any() {
        if (first_) std::rethrow_exception(std::exchange(first_, nullptr));
    }

private:
    void keep() noexcept {
        if (!first_) first_ = std::current_exception();
    }
    std::exception_ptr first_;
};

}  // namespace tevu::nvenc
