// Thin RAII layer over the Python C API. Every extension module of the project reaches the interpreter
// through these helpers, so that the module logic does not depend on the API's major version.
#pragma once

#include <Python.h>
#if PY_MAJOR_VERSION < 3
#include <pythread.h>
#endif

#include "thread_exit.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <climits>
#include <cstddef>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <utility>

// The interpreter's configuration must describe the target it is compiled for: CPython's Windows
// pyconfig.h describes a 64-bit target as a 32-bit one unless MS_WIN64 is defined (it looks for MSVC's
// own macros only), and nothing else would notice.
static_assert(SIZEOF_VOID_P == sizeof(void*), "pyconfig.h's pointer size is not the target's (MS_WIN64?)");
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t), "pyconfig.h's size_t is not the target's (MS_WIN64?)");
static_assert(sizeof(Py_ssize_t) == sizeof(std::size_t) && sizeof(Py_ssize_t) == sizeof(std::intptr_t),
              "Py_ssize_t is not pointer-sized on this target (MS_WIN64?)");

namespace tevu::py {

// Thrown when a Python exception is already set and must propagate to the interpreter.
struct ErrorAlreadySet : std::exception {
    const char* what() const noexcept override { return "Python exception set"; }
};

// --- threads the interpreter ends ---------------------------------------------------------------
// While the interpreter finalizes, a thread other than the finalizing one (a host's daemon thread) that
// asks for the interpreter lock never gets it. Python 3 before 3.14 ends such a thread right inside
// that request with pthread_exit, which glibc carries out as a forced unwind of the thread's stack: the
// unwind runs through our frames when the request was made from inside one of our calls (taking the
// lock back after a driver call, or any Python code we call, which may give the lock away and ask for it
// again). Our frames must not carry on as usual then: the thread no longer holds the lock while the
// finalizing thread frees the interpreter, a catch (...) that ends without rethrowing aborts the process
// ("FATAL: exception not rethrown"), and an unwind leaving a noexcept function calls std::terminate.
//
// So such a thread is parked, at the first of our frames that can stop the unwind (where the lock is
// taken back, and the outermost frame of every call from the interpreter): it blocks there for good,
// touching nothing, and everything it holds (an encoder's session, its buffers and mapped pictures, the
// pixels it reads) stays as it is, never freed under a driver call in flight, until the process exits.
// The clean-ups that run before the unwind reaches such a frame leave the interpreter alone: destructors
// look at thread_holds_gil(), and catch (...) blocks let the unwind through (caught_thread_exit()).

// (thread_exit.h)
using tevu::caught_thread_exit;
using tevu::park_thread;

// False only on a thread that the interpreter is ending, while its unwind runs clean-ups; those must
// then leave every Python object alone. Python 2 ends no thread inside a call.
// PyGILState_Check answers true for every thread once the interpreter's finalization has dropped its
// thread-state key, so the answer comes from the thread states themselves: the one that holds the lock is
// this thread's own.
inline bool thread_holds_gil() noexcept {
#if PY_MAJOR_VERSION >= 3
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState* current = PyThreadState_GetUnchecked();
#else
    PyThreadState* current = _PyThreadState_UncheckedGet();
#endif
    return current != nullptr && current == PyGILState_GetThisThreadState();
#else
    return true;
#endif
}

// Python 2 ends no thread when it finalizes: a daemon thread runs on while the interpreter is torn down
// under it (modules emptied, objects freed), into freed objects as soon as it runs Python code again. So
// there a thread of ours parks as well, once the exit functions have run and the interpreter is being
// torn down: as one of our calls starts or returns, before it calls Python code, and as it takes the
// lock back after a driver call. The finalizing thread goes on: it is the one that ran the exit
// functions, noted by a hook that each module registers as it is created (note_finalizing_thread_at_exit).
#if PY_MAJOR_VERSION < 3
namespace detail {
inline std::atomic<long> finalizing_thread{0};  // 0 until the exit functions run
}  // namespace detail
inline bool torn_down_under_thread() noexcept {
    const long finalizer = detail::finalizing_thread.load();
    return finalizer != 0 && !Py_IsInitialized() && PyThread_get_thread_ident() != finalizer;
}
#else
inline bool torn_down_under_thread() noexcept { return false; }
#endif

// With the lock held: parks this thread, the lock released, when the interpreter is torn down under it.
inline void park_if_torn_down() noexcept {
    if (!torn_down_under_thread()) return;
    PyEval_SaveThread();
    park_thread();
}

// An owned (strong) reference.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() {
        if (p_ && thread_holds_gil()) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference from a C API call that returns NULL on failure.
inline Ref check(PyObject* p) {
    if (!p) throw ErrorAlreadySet();
    return Ref::steal(p);
}
// A C API status (0 or positive success, -1 failure).
inline int check_status(int rc) {
    if (rc < 0) throw ErrorAlreadySet();
    return rc;
}

// Releases the interpreter lock for its lifetime. Only plain C++ may run inside. On a thread that the
// interpreter is ending (a clean-up during its unwind) there is no lock to release, and none is taken.
// When the interpreter ends the thread as it takes the lock back, or is torn down under it meanwhile,
// the thread is parked there.
class GilRelease {
public:
    GilRelease() noexcept : state_(thread_holds_gil() ? PyEval_SaveThread() : nullptr) {}
    ~GilRelease() {
        if (!state_) return;
        try {
            PyEval_RestoreThread(state_);
        } catch (...) {  // nothing else leaves this C function
            park_thread();
        }
        park_if_torn_down();
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// --- conversions -------------------------------------------------------------------------------
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref integer(long long v) {
#if PY_MAJOR_VERSION >= 3
    return check(PyLong_FromLongLong(v));
#else
    if (v >= LONG_MIN && v <= LONG_MAX) return check(PyInt_FromLong(static_cast<long>(v)));
    return check(PyLong_FromLongLong(v));
#endif
}
inline Ref unsigned_integer(unsigned long long v) {
#if PY_MAJOR_VERSION < 3
    if (v <= static_cast<unsigned long long>(LONG_MAX)) return check(PyInt_FromLong(static_cast<long>(v)));
#endif
    return check(PyLong_FromUnsignedLongLong(v));
}
inline Ref floating(double v) { return check(PyFloat_FromDouble(v)); }
// The interpreter's native string type ("str").
inline Ref text(const char* s, std::size_t n) {
#if PY_MAJOR_VERSION >= 3
    return check(PyUnicode_FromStringAndSize(s, static_cast<Py_ssize_t>(n)));
#else
    return check(PyString_FromStringAndSize(s, static_cast<Py_ssize_t>(n)));
#endif
}
inline Ref text(const std::string& s) { return text(s.data(), s.size()); }
inline Ref text(const char* s) { return text(std::string(s)); }
// Raw bytes as the native string type: a byte string in Python 2, in Python 3 a str of the same
// characters (each byte one code point, so that any bytes convert).
inline Ref native_string(const char* s, std::size_t n) {
#if PY_MAJOR_VERSION >= 3
    return check(PyUnicode_DecodeLatin1(s, static_cast<Py_ssize_t>(n), nullptr));
#else
    return check(PyString_FromStringAndSize(s, static_cast<Py_ssize_t>(n)));
#endif
}
// A byte string.
inline Ref bytes(const void* data, std::size_t n) {
#if PY_MAJOR_VERSION >= 3
    return check(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(n)));
#else
    return check(PyString_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(n)));
#endif
}

inline bool is_text(PyObject* o) {
#if PY_MAJOR_VERSION >= 3
    return PyUnicode_Check(o);
#else
    return PyString_Check(o) || PyUnicode_Check(o);
#endif
}
// A byte string (Python 2's str, Python 3's bytes).
inline bool is_bytes(PyObject* o) {
#if PY_MAJOR_VERSION >= 3
    return PyBytes_Check(o);
#else
    return PyString_Check(o);
#endif
}
inline bool is_none(PyObject* o) noexcept { return o == Py_None; }
// The object True itself (not merely a true value).
inline bool is_true_object(PyObject* o) noexcept { return o == Py_True; }
inline bool is_dict(PyObject* o) noexcept { return PyDict_Check(o); }
inline bool is_integer(PyObject* o) {
#if PY_MAJOR_VERSION >= 3
    return PyLong_Check(o) && !PyBool_Check(o);
#else
    return (PyInt_Check(o) || PyLong_Check(o)) && !PyBool_Check(o);
#endif
}

// Text form of any object (str(o)).
inline std::string str(PyObject* o) {
    Ref s = check(PyObject_Str(o));
#if PY_MAJOR_VERSION >= 3
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
    if (!p) throw ErrorAlreadySet();
    return std::string(p, static_cast<std::size_t>(n));
#else
    return std::string(PyString_AS_STRING(s.get()), static_cast<std::size_t>(PyString_GET_SIZE(s.get())));
#endif
}
// repr(o).
inline std::string repr(PyObject* o) {
    Ref s = check(PyObject_Repr(o));
    return str(s.get());
}
// A Python integer as a C long long; raises the interpreter's error for other types or overflow.
inline long long as_long_long(PyObject* o) {
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet();
    return v;
}
// A Python integer as a C long, as the C API reads an int argument in this interpreter (Python 2: any
// object with __int__; Python 3: any object with __index__).
inline long as_long(PyObject* o) {
#if PY_MAJOR_VERSION >= 3
    long v = PyLong_AsLong(o);
#else
    long v = PyInt_AsLong(o);
#endif
    if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet();
    return v;
}
// A number as a C double (float(o)).
inline double as_double(PyObject* o) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet();
    return v;
}
// int(o): an integer from a number or from text; ValueError for text that is not one.
inline Ref to_integer(PyObject* o) {
#if PY_MAJOR_VERSION >= 3
    return check(PyNumber_Long(o));
#else
    return check(PyNumber_Int(o));
#endif
}
// format % args, as the interpreter's own % operator formats it.
inline Ref percent_format(const Ref& format, const Ref& args) {
    return check(PyNumber_Remainder(format.get(), args.get()));
}
inline bool truth(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }
// a == b, as the interpreter compares.
inline bool equal(PyObject* a, PyObject* b) { return check_status(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }
// item in container.
inline bool contains(PyObject* container, PyObject* item) { return check_status(PySequence_Contains(container, item)) != 0; }
// len(o).
inline std::size_t length(PyObject* o) {
    const Py_ssize_t n = PyObject_Size(o);
    if (n < 0) throw ErrorAlreadySet();
    return static_cast<std::size_t>(n);
}
// o[i] of a sequence.
inline Ref item(PyObject* o, std::size_t i) { return check(PySequence_GetItem(o, static_cast<Py_ssize_t>(i))); }
// type(o).
inline Ref type_of(PyObject* o) { return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(o))); }

// --- attributes, calls, imports ------------------------------------------------------------------
inline Ref getattr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }
inline void setattr(PyObject* o, const char* name, const Ref& v) {
    check_status(PyObject_SetAttrString(o, name, v.get()));
}

inline Ref import(const char* module) { return check(PyImport_ImportModule(module)); }
inline void clear_error() noexcept { PyErr_Clear(); }
// from <module> import <name>; a missing name raises the interpreter's ImportError.
inline Ref import_from(const char* module, const char* name) {
    Ref m = import(module);
    PyObject* attr = PyObject_GetAttrString(m.get(), name);
    if (!attr) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %s", name);
        throw ErrorAlreadySet();
    }
    return Ref::steal(attr);
}

namespace detail {
inline PyObject* arg(const Ref& r) { return r.get(); }
inline PyObject* arg(PyObject* p) { return p; }
}  // namespace detail

// A tuple of the given objects (each Ref or borrowed PyObject*).
template <class... Args>
Ref tuple(const Args&... args) {
    Ref t = check(PyTuple_New(sizeof...(Args)));
    [[maybe_unused]] Py_ssize_t i = 0;
    (
        [&](PyObject* p) {
            Py_INCREF(p);
            PyTuple_SET_ITEM(t.get(), i++, p);
        }(detail::arg(args)),
        ...);
    return t;
}

// callable(*args, **kwargs); a thread that the interpreter is torn down under parks instead.
inline Ref call_kw(PyObject* callable, const Ref& args, const Ref& kwargs) {
    park_if_torn_down();
    return check(PyObject_Call(callable, args.get(), kwargs.get()));
}
// callable(*args) with positional arguments.
template <class... Args>
Ref call(PyObject* callable, const Args&... args) {
    return call_kw(callable, tuple(args...), Ref());
}
template <class... Args>
Ref call_method(PyObject* o, const char* name, const Args&... args) {
    Ref m = getattr(o, name);
    return call(m.get(), args...);
}

inline Ref new_dict() { return check(PyDict_New()); }
inline void dict_set(PyObject* d, const char* key, const Ref& v) {
    check_status(PyDict_SetItemString(d, key, v.get()));
}
inline void dict_set(PyObject* d, const Ref& key, const Ref& v) {
    check_status(PyDict_SetItem(d, key.get(), v.get()));
}
// d[key] when present, else empty; errors of the lookup (an unhashable key) propagate.
inline Ref dict_lookup(PyObject* d, PyObject* key) {
#if PY_MAJOR_VERSION >= 3
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw ErrorAlreadySet();
    return Ref::borrow(v);
#else
    return Ref::borrow(PyDict_GetItem(d, key));
#endif
}
inline Ref dict_keys(PyObject* d) { return check(PyDict_Keys(d)); }
inline Ref new_list() { return check(PyList_New(0)); }
inline void list_append(PyObject* l, const Ref& v) { check_status(PyList_Append(l, v.get())); }

// Binds the positional and keyword arguments of a call to the named parameters, every one of them
// required; raises TypeError as the interpreter does for a Python function. Borrowed references.
template <std::size_t N>
std::array<PyObject*, N> required_arguments(const char* function, PyObject* args, PyObject* kwargs,
                                            const std::array<const char*, N>& names) {
    std::array<PyObject*, N> bound{};
    const Py_ssize_t positional = args ? PyTuple_GET_SIZE(args) : 0;
    const auto wrong_count = [&] {
        const Py_ssize_t given = positional + (kwargs ? PyDict_Size(kwargs) : 0);
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %d arguments (%d given)", function, static_cast<int>(N),
                     static_cast<int>(given));
        throw ErrorAlreadySet();
    };
    if (positional > static_cast<Py_ssize_t>(N)) wrong_count();
    for (Py_ssize_t i = 0; i < positional; ++i) bound[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t pos = 0; kwargs && PyDict_Next(kwargs, &pos, &key, &value);) {
        const std::string name = str(key);
        std::size_t i = 0;
        while (i < N && name != names[i]) ++i;
        if (i == N) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function, name.c_str());
            throw ErrorAlreadySet();
        }
        if (bound[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%s'", function,
                         name.c_str());
            throw ErrorAlreadySet();
        }
        bound[i] = value;
    }
    for (PyObject* argument : bound)
        if (!argument) wrong_count();
    return bound;
}

// A tuple of the items, in order.
template <class Items>
Ref tuple_of(const Items& items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(std::size(items))));
    Py_ssize_t i = 0;
    for (const Ref& r : items) {
        Ref owned = r;
        PyTuple_SET_ITEM(t.get(), i++, owned.release());
    }
    return t;
}

// --- errors --------------------------------------------------------------------------------------
// Sets the interpreter's exception and throws, so that C++ unwinding runs the destructors first.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet();
}
// Makes an exception instance the pending one, without throwing.
inline void set_error(PyObject* type, PyObject* instance) noexcept { PyErr_SetObject(type, instance); }
// Raises type(*args) for an exception class taking constructor arguments.
template <class... Args>
[[noreturn]] void raise_instance(PyObject* type, const Args&... args) {
    Ref e = call(type, args...);
    PyErr_SetObject(type, e.get());
    throw ErrorAlreadySet();
}

// True when the interpreter runs with assertions disabled (python -O).
inline bool assertions_disabled() {
#if PY_VERSION_HEX >= 0x030C0000
    // The flag is only readable through sys.flags from 3.12 on.
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) return false;
    PyObject* optimize = PyObject_GetAttrString(flags, "optimize");
    if (!optimize) {
        PyErr_Clear();
        return false;
    }
    const long level = PyLong_AsLong(optimize);
    Py_DECREF(optimize);
    if (level == -1 && PyErr_Occurred()) PyErr_Clear();
    return level > 0;
#else
    return Py_OptimizeFlag > 0;
#endif
}
// An assertion check: AssertionError with the message, skipped under -O. No message: a bare one.
inline void check_assert(bool ok, const char* message = nullptr) {
    if (ok || assertions_disabled()) return;
    if (message)
        PyErr_SetString(PyExc_AssertionError, message);
    else
        PyErr_SetNone(PyExc_AssertionError);
    throw ErrorAlreadySet();
}

// Runs body, converting C++ exceptions into Python ones; returns the new reference or NULL.
// A thread that the interpreter ends inside the body is parked.
template <class F>
PyObject* guarded(F&& body) noexcept {
    park_if_torn_down();
    try {
        Ref result = body();
        park_if_torn_down();
        return result.release();
    } catch (const ErrorAlreadySet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        if (caught_thread_exit()) park_thread();
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    park_if_torn_down();
    return nullptr;
}
// The same for C API slots returning an int status (0 success, -1 failure).
template <class F>
int guarded_status(F&& body) noexcept {
    park_if_torn_down();
    try {
        body();
        park_if_torn_down();
        return 0;
    } catch (const ErrorAlreadySet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        if (caught_thread_exit()) park_thread();
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    park_if_torn_down();
    return -1;
}

// A C function of any of the method signatures, as the method table stores it.
template <class F>
PyCFunction cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// --- arguments, classes, pending errors --------------------------------------------------------
// PyArg_ParseTupleAndKeywords that throws on failure. kwlist ends with nullptr.
template <class... Out>
void parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* kwlist, Out... out) {
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), out...))
        throw ErrorAlreadySet();
}
// PyArg_ParseTuple (positional arguments only) that throws on failure.
template <class... Out>
void parse_tuple(PyObject* args, const char* format, Out... out) {
    if (!PyArg_ParseTuple(args, format, out...)) throw ErrorAlreadySet();
}
// A new class derived from an exception type, with the given class dictionary.
inline Ref new_exception_class(const char* qualified_name, PyObject* base, const Ref& dict) {
    return check(PyErr_NewException(const_cast<char*>(qualified_name), base, dict.get()));
}
// Installs a C function as a method of a class (bound to its instances like a Python method).
inline void add_method(PyObject* cls, PyMethodDef* def) {
    Ref descr = check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), def));
    setattr(cls, def->ml_name, descr);
}
// The interpreter's report for an error that cannot be propagated, naming where it happened.
inline void report_unraisable(const char* where) {
#if PY_MAJOR_VERSION >= 3
    PyObject* name = PyUnicode_FromString(where);
#else
    PyObject* name = PyString_FromString(where);
#endif
    PyErr_WriteUnraisable(name);
    Py_XDECREF(name);
}
// The two items of any sequence of exactly two (a tuple, a list...), as Python's unpacking takes them:
// TypeError naming `what` for an object that is not a sequence, ValueError for another length.
inline std::pair<Ref, Ref> sequence_pair(PyObject* o, const char* what) {
    if (!PySequence_Check(o) || is_text(o) || is_bytes(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a sequence of two items, not %.200s", what, Py_TYPE(o)->tp_name);
        throw ErrorAlreadySet();
    }
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw ErrorAlreadySet();
    if (n != 2) {
        // (%zd: Windows' printf checks know no 'z', though the interpreter's formatter does)
        PyErr_Format(PyExc_ValueError, "%s must have two items, not %s", what, std::to_string(n).c_str());
        throw ErrorAlreadySet();
    }
    return {check(PySequence_GetItem(o, 0)), check(PySequence_GetItem(o, 1))};
}
// Two integers from any two-item sequence; TypeError when an item is not an integer.
inline std::pair<long long, long long> integer_pair(PyObject* o, const char* what) {
    auto [first, second] = sequence_pair(o, what);
    for (PyObject* item : {first.get(), second.get()}) {
        if (!is_integer(item)) {
            PyErr_Format(PyExc_TypeError, "%s must hold integers, not %.200s", what, Py_TYPE(item)->tp_name);
            throw ErrorAlreadySet();
        }
    }
    return {as_long_long(first.get()), as_long_long(second.get())};
}
// A dictionary item as an owned reference; empty when absent.
inline Ref dict_get(PyObject* d, const char* key) { return Ref::borrow(PyDict_GetItemString(d, key)); }
// A global of a module (an item of its dictionary), empty when undefined.
inline Ref module_attr_if_present(PyObject* module, const char* name) {
    return dict_get(PyModule_GetDict(module), name);
}
// True when the pending exception is an instance of type.
inline bool pending_error_matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

// Holds a pending exception aside (for clean-up that calls back into the interpreter) and puts it back.
class PendingError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 on the interpreter keeps a pending exception as one normalised instance.
    PendingError() noexcept : value_(PyErr_GetRaisedException()) {}
    ~PendingError() {
        if (value_ && thread_holds_gil()) Py_DECREF(value_);
    }
    explicit operator bool() const noexcept { return value_ != nullptr; }
    PyObject* value() noexcept { return value_; }
    PyObject* type() const noexcept { return value_ ? reinterpret_cast<PyObject*>(Py_TYPE(value_)) : nullptr; }
    void restore() noexcept { PyErr_SetRaisedException(std::exchange(value_, nullptr)); }
#else
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingError() {
        if (!type_ || !thread_holds_gil()) return;
        Py_DECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    explicit operator bool() const noexcept { return type_ != nullptr; }
    // The exception instance (normalised), borrowed while this object holds it.
    PyObject* value() noexcept {
        if (type_) PyErr_NormalizeException(&type_, &value_, &traceback_);
        return value_;
    }
    PyObject* type() const noexcept { return type_; }
    // Makes it the interpreter's current exception again.
    void restore() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }
#endif
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    // True when the exception is an instance of `type` (or of a class in a tuple of them).
    bool matches(PyObject* type) const noexcept { return this->type() && PyErr_GivenExceptionMatches(this->type(), type); }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* value_ = nullptr;
};

// from <module> import <name> when the module and the name exist; empty when either is missing (an
// ImportError), any other failure of the import propagates.
inline Ref import_from_if_present(const char* module, const char* name) {
    try {
        return import_from(module, name);
    } catch (const ErrorAlreadySet&) {
        if (!pending_error_matches(PyExc_ImportError)) throw;
        clear_error();
        return Ref();
    }
}

// try: body() finally: cleanup(). The clean-up always runs; when it raises, its exception replaces the
// body's one, as in Python.
template <class Body, class Cleanup>
auto with_finally(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    decltype(body()) result;
    try {
        result = body();
    } catch (const ErrorAlreadySet&) {
        PendingError pending;
        cleanup();
        pending.restore();
        throw;
    } catch (...) {
        if (!caught_thread_exit()) cleanup();
        throw;
    }
    cleanup();
    return result;
}

// Read access to an object's bytes: the buffer protocol, or the old read-buffer one in Python 2. The view
// holds the object itself while it lives, whichever protocol gave the bytes.
class BufferView {
public:
    explicit BufferView(PyObject* o) : object_(Ref::borrow(o)) {
        acquire();
        pinned_ = held_ && keeps_exported_bytes(o);
    }
    ~BufferView() { release(); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const void* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    // True when the exporter keeps the bytes in place while this view lives, so that they may be read
    // without the interpreter lock. Python 3's buffer protocol promises it: an exporter refuses to free,
    // move or resize what it has exported (a map refuses to close). Python 2.7's does not (its exporters
    // may free their bytes whatever they have exported), nor its old read-buffer protocol (an mmap's
    // close() unmaps at once): there only str, which never changes, and bytearray, which refuses to resize
    // while exported, keep them (a memoryview of either too).
    bool pinned() const noexcept { return pinned_; }
    // For a view that is not pinned: the bytes where the object has them now. Python code run since they
    // were taken (any code: a log line) may have let another thread free or move them. Raises the
    // exporter's error (a closed map's ValueError) when it has none now.
    void refresh() {
        if (pinned_) return;
        release();
        acquire();
    }

private:
    void acquire() {
        PyObject* o = object_.get();
        if (PyObject_CheckBuffer(o) && PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) == 0) {
            held_ = true;
            data_ = view_.buf;
            size_ = static_cast<std::size_t>(view_.len);
            return;
        }
#if PY_MAJOR_VERSION >= 3
        // An exporter that refuses for its own reasons (a closed map, a released view) says why, as Python
        // 2's old protocol did; one whose bytes are not contiguous is no usable buffer.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw ErrorAlreadySet();
        PyErr_Clear();
#else
        PyErr_Clear();
        // An exporter refuses for its own reasons as it counts its segments (a closed map's ValueError),
        // which PyObject_AsReadBuffer would replace with a TypeError of its own: its reason is kept.
        const PyBufferProcs* procs = Py_TYPE(o)->tp_as_buffer;
        if (procs && procs->bf_getreadbuffer && procs->bf_getsegcount && procs->bf_getsegcount(o, nullptr) < 0 &&
            PyErr_Occurred())
            throw ErrorAlreadySet();
        const void* p = nullptr;
        Py_ssize_t n = 0;
        if (PyObject_AsReadBuffer(o, &p, &n) == 0) {
            data_ = p;
            size_ = static_cast<std::size_t>(n);
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorAlreadySet();  // a buffer, but unusable
        PyErr_Clear();
#endif
        PyErr_Format(PyExc_TypeError, "expected a buffer object, not %.100s", Py_TYPE(o)->tp_name);
        throw ErrorAlreadySet();
    }
    void release() noexcept {
        if (held_ && thread_holds_gil()) PyBuffer_Release(&view_);
        held_ = false;
        data_ = nullptr;
        size_ = 0;
    }
    // Whether an exporter keeps the bytes it exported in place until they are released (see pinned()).
    static bool keeps_exported_bytes([[maybe_unused]] PyObject* o) noexcept {
#if PY_MAJOR_VERSION >= 3
        return true;
#else
        if (PyMemoryView_Check(o) && PyMemoryView_GET_BASE(o)) o = PyMemoryView_GET_BASE(o);
        return PyString_Check(o) || PyByteArray_Check(o);
#endif
    }

    Ref object_;
    Py_buffer view_{};
    bool held_ = false, pinned_ = false;
    const void* data_ = nullptr;
    std::size_t size_ = 0;
};

// An extension type wrapping a default-constructible C++ class T, weakly referenceable. Its instances
// are made without arguments; the destructor of T runs when the last reference goes.
template <class T>
class ExtType {
public:
    // The interpreter's part of an instance, standard-layout so that its members have offsets.
    struct Head {
        PyObject_HEAD PyObject* weakrefs;
    };
    struct Object : Head {
        T value;
    };
    // The wrapped object of an instance of this type or of a subclass; TypeError for anything else.
    static T& cast(PyObject* o) {
        if (!o || !PyObject_TypeCheck(o, &type())) {
            PyErr_Format(PyExc_TypeError, "expected a %.200s object, not %.200s", type().tp_name,
                         o ? Py_TYPE(o)->tp_name : "NULL");
            throw ErrorAlreadySet();
        }
        return reinterpret_cast<Object*>(o)->value;
    }
    // Fills the type once; call before ready().
    static PyTypeObject* define(const char* qualified_name, PyMethodDef* methods, reprfunc repr, const char* doc) {
        PyTypeObject& t = type();
        t.tp_name = qualified_name;
        t.tp_basicsize = sizeof(Object);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
        t.tp_doc = doc;
        t.tp_methods = methods;
        t.tp_repr = repr;
        t.tp_new = &create;
        t.tp_dealloc = &destroy;
        t.tp_weaklistoffset = offsetof(Head, weakrefs);
        check_status(PyType_Ready(&t));
        return &t;
    }
    static PyTypeObject& type() {
        static PyTypeObject t = [] {
            PyTypeObject zero;
            std::memset(&zero, 0, sizeof zero);
#if PY_MAJOR_VERSION >= 3
            zero.ob_base.ob_base.ob_refcnt = 1;
#else
            zero.ob_refcnt = 1;
#endif
            return zero;
        }();
        return t;
    }

private:
    static PyObject* create(PyTypeObject* t, PyObject* args, PyObject* kwargs) {
        static const char* const kwlist[] = {nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":__init__", const_cast<char**>(kwlist))) return nullptr;
        PyObject* o = t->tp_alloc(t, 0);
        if (!o) return nullptr;
        auto* obj = reinterpret_cast<Object*>(o);
        obj->weakrefs = nullptr;
        try {
            new (&obj->value) T();
        } catch (...) {
            Py_TYPE(o)->tp_free(o);
            return PyErr_NoMemory();
        }
        return o;
    }
    static void destroy(PyObject* o) {
        auto* obj = reinterpret_cast<Object*>(o);
        if (obj->weakrefs) PyObject_ClearWeakRefs(o);
        obj->value.~T();
        Py_TYPE(o)->tp_free(o);
    }
};

// --- module creation ----------------------------------------------------------------------------
// Creates the module object (borrowed in Python 2, owned in Python 3; returned owned here).
#if PY_MAJOR_VERSION < 3
// Registers the exit function that notes the finalizing thread (see torn_down_under_thread).
inline void note_finalizing_thread_at_exit() {
    static PyMethodDef hook = {"_note_finalizing_thread",
                               [](PyObject*, PyObject*) -> PyObject* {
                                   detail::finalizing_thread = PyThread_get_thread_ident();
                                   Py_RETURN_NONE;
                               },
                               METH_NOARGS, nullptr};
    Ref atexit = check(PyImport_ImportModule("atexit"));
    Ref function = check(PyCFunction_New(&hook, nullptr));
    call_method(atexit.get(), "register", function);
}
#endif

inline Ref create_module(const char* qualified_name, PyMethodDef* methods, const char* doc) {
#if PY_MAJOR_VERSION >= 3
    static PyModuleDef def = {PyModuleDef_HEAD_INIT, qualified_name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr};
    return check(PyModule_Create(&def));
#else
    note_finalizing_thread_at_exit();
    return Ref::borrow([&] {
        PyObject* m = Py_InitModule3(qualified_name, methods, doc);
        if (!m) throw ErrorAlreadySet();
        return m;
    }());
#endif
}
inline void add_object(PyObject* module, const char* name, const Ref& v) {
    setattr(module, name, v);
}

// Adds a function to the module; it receives the module as its self argument.
inline void add_function(PyObject* module, PyMethodDef* definition) {
    Ref module_name = getattr(module, "__name__");
    Ref function = check(PyCFunction_NewEx(definition, module, module_name.get()));
    setattr(module, definition->ml_name, function);
}

}  // namespace tevu::py

// The exported entry point's declaration, its result type included: on Windows the interpreter's own
// PyMODINIT_FUNC (dllexport; a DLL exports nothing else), elsewhere default visibility, as the modules
// hide everything else (2.7's PyMODINIT_FUNC does not say so).
#if defined(_WIN32)
#define TEVU_PY_INIT_FUNC PyMODINIT_FUNC
#elif PY_MAJOR_VERSION >= 3
#define TEVU_PY_INIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define TEVU_PY_INIT_FUNC extern "C" __attribute__((visibility("default"))) void
#endif

// Declares the module's entry point: TEVU_PY_MODULE_INIT(encoder) { ...; return module; }
// The body returns the module as a tevu::py::Ref and may throw.
#if PY_MAJOR_VERSION >= 3
#define TEVU_PY_MODULE_INIT(name)                                                        \
    static ::tevu::py::Ref tevu_module_body_##name();                                    \
    TEVU_PY_INIT_FUNC PyInit_##name(void) {                                              \
        return ::tevu::py::guarded([] { return tevu_module_body_##name(); });            \
    }                                                                                    \
    static ::tevu::py::Ref tevu_module_body_##name()
#else
#define TEVU_PY_MODULE_INIT(name)                                                        \
    static ::tevu::py::Ref tevu_module_body_##name();                                    \
    TEVU_PY_INIT_FUNC init##name(void) {                                                 \
        ::tevu::py::Ref m(::tevu::py::Ref::steal(                                        \
            ::tevu::py::guarded([] { return tevu_module_body_##name(); })));             \
    }                                                                                    \
    static ::tevu::py::Ref tevu_module_body_##name()
#endif
