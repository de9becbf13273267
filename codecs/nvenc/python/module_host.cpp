#include "module_host.h"

#include <vector>

#include "api_traits.h"

namespace tevu::nvenc {

HostRef host_ref(const Ref& object) {
    if (!object || py::is_none(object.get())) return nullptr;
    return std::make_shared<PythonObject>(object);
}

Ref python_object(const HostRef& object) {
    if (!object) return py::none();
    return static_cast<const PythonObject&>(*object).object();
}

Ref to_python(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::None:
        return py::none();
    case Value::Kind::Bool:
        return py::boolean(v.as_bool());
    case Value::Kind::Int:
        return py::integer(v.as_int());
    case Value::Kind::Unsigned:
        return py::unsigned_integer(v.as_unsigned());
    case Value::Kind::Float:
        return py::floating(v.as_float());
    case Value::Kind::Text:
        return py::text(v.as_text());
    case Value::Kind::Host:
        return python_object(v.as_host());
    case Value::Kind::Tuple: {
        std::vector<Ref> items;
        for (const Value& item : v.items()) items.push_back(to_python(item));
        return py::tuple_of(items);
    }
    case Value::Kind::List: {
        Ref l = py::new_list();
        for (const Value& item : v.items()) py::list_append(l.get(), to_python(item));
        return l;
    }
    case Value::Kind::Dict: {
        Ref d = py::new_dict();
        const std::vector<Value>& items = v.items();
        for (std::size_t i = 0; i + 1 < items.size(); i += 2)
            py::dict_set(d.get(), to_python(items[i]), to_python(items[i + 1]));
        return d;
    }
    }
    return py::none();
}

PythonFailure::PythonFailure() : error_(std::make_shared<py::PendingError>()) {}
void PythonFailure::restore() const noexcept { error_->restore(); }

namespace {

// The module's Python exception for a CUDA layer failure, with the driver's result code.
void set_cuda_error(const cuda::Error& e) {
    ModuleState& s = state();
    PyObject* type = dynamic_cast<const cuda::MemoryError*>(&e)  ? s.cuda_memory_error.get()
                     : dynamic_cast<const cuda::LogicError*>(&e) ? s.cuda_logic_error.get()
                                                                 : s.cuda_error.get();
    // When even the exception cannot be made, the failure to make it is what stays pending.
    py::guarded_status([&] {
        Ref instance = py::call(type, py::text(e.what()));
        py::setattr(instance.get(), "code", py_value(e.code()));
        py::set_error(type, instance.get());
    });
}

void set_encoder_error(const EncoderError& e) {
    using Kind = EncoderError::Kind;
    const std::string message = e.what();
    switch (e.kind()) {
    case Kind::Generic:
        PyErr_SetString(PyExc_Exception, message.c_str());
        return;
    case Kind::Check:
        PyErr_SetString(py::assertions_disabled() ? PyExc_Exception : PyExc_AssertionError, message.c_str());
        return;
    case Kind::Assertion:
        if (message.empty())
            PyErr_SetNone(PyExc_AssertionError);
        else
            PyErr_SetString(PyExc_AssertionError, message.c_str());
        return;
    case Kind::Value:
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return;
    case Kind::Overflow:
        PyErr_SetString(PyExc_OverflowError, message.c_str());
        return;
    case Kind::Transient:
        py::guarded_status([&] { raise_transient(message); });
        return;
    case Kind::Nvenc:
        py::guarded_status([&] { raise_nvenc(e.code(), message); });
        return;
    }
}

}  // namespace

void raise_as_python() {
    try {
        throw;
    } catch (const PythonFailure& f) {
        f.restore();
    } catch (const EncoderError& e) {
        set_encoder_error(e);
    } catch (const cuda::Error& e) {
        set_cuda_error(e);
    }
    throw py::ErrorAlreadySet();
}

namespace {

// The answer of the innermost LoggerAnswerScope of this thread; null outside any.
thread_local std::optional<bool>* logger_answer = nullptr;

// Whether the host's logger keeps debug lines, as its optional is_debug_enabled() tells; a logger
// without it is sent every line.
bool logger_keeps_debug_lines() {
    Ref query = Ref::steal(PyObject_GetAttrString(state().log.get(), "is_debug_enabled"));
    if (!query) {
        if (!py::pending_error_matches(PyExc_AttributeError)) throw py::ErrorAlreadySet();
        py::clear_error();
        return true;
    }
    return py::truth(py::call(query.get()).get());
}

}  // namespace

LoggerAnswerScope::LoggerAnswerScope() noexcept : outer_(std::exchange(logger_answer, &keeps_debug_)) {}
LoggerAnswerScope::~LoggerAnswerScope() { logger_answer = outer_; }

namespace {

// The interpreter's lock, released while the core waits for the driver.
void* release_lock() noexcept { return py::thread_holds_gil() ? PyEval_SaveThread() : nullptr; }
void take_lock_back(void* token) {
    if (!token) return;
    try {
        PyEval_RestoreThread(static_cast<PyThreadState*>(token));
    } catch (...) {  // nothing else leaves this C function
        park_thread();
    }
    py::park_if_torn_down();
}

class ModuleHost final : public EncoderHost, private LogSink {
public:
    LogSink& log_sink() override { return *this; }

    Value describe(HostText what, const Value& subject) override {
        auto& host = state().host;
        return hosted([&]() -> Ref {
            switch (what) {
            case HostText::Version: return py::call(module_attr("get_version").get());
            case HostText::CudaInfo: return py::call(host.get_cuda_info.get());
            case HostText::BindingInfo: return py::call(host.get_pycuda_info.get());
            case HostText::SessionsInUse: return py::call_method(state().context_counter.get(), "get");
            case HostText::DeviceInfo: return py::call(host.device_info.get(), python_object(subject.as_host()));
            case HostText::CudaResult: return nvenc::cuda_result_text(static_cast<int>(subject.as_int()));
            case HostText::Plural: return nvenc::plural(to_python(subject));
            case HostText::Keys: return py::call(host.csv.get(), py::dict_keys(to_python(subject).get()));
            }
            throw std::logic_error("unknown host text");
        });
    }

    const Settings& settings() override { return state().config; }
    bool flag(HostFlag which, const char* encoding) override {
        if (which == HostFlag::Checks) return !py::assertions_disabled();
        return host_call([&] { return py::truth(encoding_flag(encoding, which).get()); });
    }
    bool accepts(const HostRef& formats, const char* name) override {
        if (!formats) return false;
        return host_call([&] { return py::contains(python_object(formats).get(), py::text(name).get()); });
    }
    double now() override { return nvenc::now(); }

    SelectedDevice select_device(int preferred) override {
        return host_call([&] {
            Ref kw = py::new_dict();
            py::dict_set(kw.get(), "min_compute", min_compute());
            Ref selected = py::call_kw(state().host.select_device.get(), py::tuple(py_value(preferred)), kw);
            auto [number, device] = py::sequence_pair(selected.get(), "the selected device");
            return SelectedDevice{static_cast<int>(py::as_long_long(number.get())), host_ref(device)};
        });
    }
    CUdevice device_handle(const HostRef& device) override {
        return host_call([&] {
            return static_cast<CUdevice>(py::as_long_long(py::getattr(python_object(device).get(), "handle").get()));
        });
    }
    void record_device(int device, DeviceEvent event) override {
        host_call([&] {
            switch (event) {
            case DeviceEvent::Success: py::call(state().host.record_device_success.get(), py_value(device)); break;
            case DeviceEvent::Failure: py::call(state().host.record_device_failure.get(), py_value(device)); break;
            case DeviceEvent::OutOfResources:
                set_module_attr("last_context_failure", py::floating(nvenc::now()));
                break;
            }
        });
    }
    CurrentContext current_context() override {
        return host_call([&] {
            PyObject* ctypes = state().host.ctypes.get();
            Ref pointer = py::call(module_attr("CUcontext").get());
            Ref result =
                py::call(module_attr("cuCtxGetCurrent").get(), py::call_method(ctypes, "byref", pointer));
            CurrentContext current;
            current.result = static_cast<int>(py::as_long_long(result.get()));
            Ref address = py::getattr(pointer.get(), "value");
            current.pointer = py::is_none(address.get()) ? nullptr
                                                         : reinterpret_cast<void*>(static_cast<uintptr_t>(
                                                               py::as_long_long(address.get())));
            return current;
        });
    }
    HostKernel kernel(int device, const char* name) override {
        return host_call([&] {
            Ref pair = csc_function(device, name);
            Ref object = py::item(pair.get(), 1);
            if (!py::truth(object.get())) return HostKernel{};
            const auto handle = static_cast<uintptr_t>(py::as_long_long(py::getattr(object.get(), "handle").get()));
            return HostKernel{std::make_shared<PythonObject>(object), reinterpret_cast<CUfunction>(handle)};
        });
    }

    void acquire_function_list(NV_ENCODE_API_FUNCTION_LIST* table) override {
        host_call([&] { nvenc::acquire_function_list(table); });
    }
    void session_opened() override {
        host_call([&] {
            // Both counted, or neither.
            py::call_method(state().context_counter.get(), "increase");
            try {
                py::call_method(state().context_gen_counter.get(), "increase");
            } catch (const py::ErrorAlreadySet&) {
                py::PendingError failure;
                if (py::guarded_status([] { py::call_method(state().context_counter.get(), "decrease"); }) < 0)
                    py::clear_error();
                failure.restore();
                throw;
            }
        });
    }
    void session_closed() noexcept override {
        if (py::guarded_status([] { py::call_method(state().context_counter.get(), "decrease"); }) < 0)
            py::clear_error();
    }

    // --- the log sink
    bool enabled(LogLevel level) override {
        if (level != LogLevel::Debug) return true;
        if (logger_answer && *logger_answer) return **logger_answer;
        const bool keeps = host_call([] { return logger_keeps_debug_lines(); });
        if (logger_answer) *logger_answer = keeps;
        return keeps;
    }
    void log(LogLevel level, const char* format, std::vector<Value> args) override {
        host_call([&] {
            ModuleState& s = state();
            Ref method = level == LogLevel::Debug  ? s.log
                         : level == LogLevel::Info ? py::getattr(s.log.get(), "info")
                                                   : py::getattr(s.log.get(), "warn");
            std::vector<Ref> items{py::text(format)};
            for (const Value& a : args) items.push_back(to_python(a));
            py::check(PyObject_Call(method.get(), py::tuple_of(items).get(), nullptr));
        });
    }
    void log_failure(const char* message) override {
        host_call([&] { nvenc::log_failure(message); });
    }
    std::string text_of(const HostRef& object, bool repr) override {
        return host_call([&] {
            const Ref o = python_object(object);
            return repr ? py::repr(o.get()) : py::str(o.get());
        });
    }
    void report_unraisable(const char* where, std::exception_ptr failure) noexcept override {
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            try {
                raise_as_python();
            } catch (const py::ErrorAlreadySet&) {
            } catch (const std::exception& e) {
                PyErr_SetString(PyExc_RuntimeError, e.what());
            } catch (...) {
                PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
            }
        }
        py::report_unraisable(where);
    }


private:
    // A Python call's result as a value the core can hand back.
    template <class F>
    static Value hosted(F&& body) {
        return host_call([&] { return Value::host(std::make_shared<PythonObject>(body())); });
    }
};

}  // namespace

EncoderHost& module_host() {
    static ModuleHost* host = [] {
        install_blocking_hooks({&release_lock, &take_lock_back});
        return new ModuleHost;  // never destroyed, as the module's state
    }();
    return *host;
}

}  // namespace tevu::nvenc
