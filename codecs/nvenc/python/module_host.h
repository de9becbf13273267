// The encoder core's host in the module: its EncoderHost over the host package, the conversion of the
// core's values into Python objects, and of its failures into the module's exceptions.
#pragma once

#include <optional>
#include <utility>

#include "encoder_core.h"
#include "module_state.h"

namespace tevu::nvenc {

// A Python object that the core holds; None is the null reference.
class PythonObject : public HostObject {
public:
    explicit PythonObject(Ref object) noexcept : object_(std::move(object)) {}
    const Ref& object() const noexcept { return object_; }

private:
    Ref object_;
};
HostRef host_ref(const Ref& object);
Ref python_object(const HostRef& object);  // None for the null reference

// A failure of Python code the core called: the exception, pending again once the core's call is over.
class PythonFailure : public HostFailure {
public:
    PythonFailure();  // takes the pending exception
    void restore() const noexcept;

private:
    std::shared_ptr<py::PendingError> error_;
};

// Runs Python code for the core: an exception it raises becomes a PythonFailure.
template <class F>
auto host_call(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const py::ErrorAlreadySet&) {
        throw PythonFailure();
    }
}

// Inside a catch block: makes the caught failure of the core (or of the Python code it called) the
// interpreter's pending exception and throws py::ErrorAlreadySet; anything else is rethrown.
[[noreturn]] void raise_as_python();

// Runs a call into the core, its failures raised as the module's exceptions.
template <class F>
auto translated(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const py::ErrorAlreadySet&) {
        throw;
    } catch (const HostFailure&) {
        raise_as_python();
    } catch (const EncoderError&) {
        raise_as_python();
    } catch (const cuda::Error&) {
        raise_as_python();
    }
}

// One call into the module (a method of an encoder): while it lasts, the host's logger is asked at most
// once whether it keeps debug lines, and the core's debug lines all follow that answer. Outside such a
// call the logger is asked for every line. Calls nest (an image's method may call another encoder).
class LoggerAnswerScope {
public:
    LoggerAnswerScope() noexcept;
    ~LoggerAnswerScope();
    LoggerAnswerScope(const LoggerAnswerScope&) = delete;
    LoggerAnswerScope& operator=(const LoggerAnswerScope&) = delete;

private:
    std::optional<bool> keeps_debug_;
    std::optional<bool>* outer_;
};

// The module's host of every encoder core; installs the interpreter-lock hooks as it is first asked for.
EncoderHost& module_host();

}  // namespace tevu::nvenc
