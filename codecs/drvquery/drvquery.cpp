// tevu.codecs.drvquery: asks the display driver for its version and build branch.
#include <cstdint>
#include <cstring>
#include <string>

#include "nvapi_loader.h"
#include "pyutil.h"

namespace {

namespace py = tevu::py;

// Raises Exception("error %s %s" % (status, call_name)) for a non-zero status, formatted by the
// interpreter so that byte and unicode names read as in Python. Statuses are shown as unsigned 32-bit
// numbers, so that -1 reads 4294967295.
void raise_nvapi(std::uint32_t status, PyObject* call_name) {
    if (status == 0) return;
    py::raise_instance(PyExc_Exception,
                       py::percent_format(py::text("error %s %s"), py::tuple(py::unsigned_integer(status), call_name)));
}

// Raises for the status of a driver call. The driver is called with the interpreter lock held: every
// caller of the loader is a Python thread of this module, so with the lock held no thread's unload can
// find another's call in flight, and each thread's initialise / query / unload sequence keeps the
// loader's count of users exact. The cost is that other Python threads wait while the driver answers.
void check_nvapi(NvAPI_Status status, const char* call_name) {
    if (status != NVAPI_OK) raise_nvapi(static_cast<std::uint32_t>(status), py::text(call_name).get());
}

// Python's floor division and modulo (the remainder takes the divisor's sign).
long long floor_divide(long long value, long long divisor) {
    long long quotient = value / divisor;
    if (value % divisor != 0 && (value < 0) != (divisor < 0)) --quotient;
    return quotient;
}
long long floor_modulo(long long value, long long divisor) { return value - floor_divide(value, divisor) * divisor; }

py::Ref query_driver_version(PyObject* module) {
    NvU32 version = 0;
    NvAPI_ShortString branch = {};
    check_nvapi(NvAPI_SYS_GetDriverAndBranchVersion(&version, branch), "NvAPI_SYS_GetDriverAndBranchVersion");
    py::Ref log = py::getattr(module, "log");
    py::call(log.get(), py::text("DriverVersion: %s"), py::unsigned_integer(version));
    py::Ref branch_text = py::native_string(branch, strnlen(branch, sizeof branch));
    py::call(log.get(), py::text("Build Branch: %s"), branch_text);
    // The arithmetic reads the version as a signed 32-bit number.
    const long long signed_version = static_cast<std::int32_t>(version);
    py::Ref result = py::new_list();
    py::list_append(result.get(), py::integer(floor_divide(signed_version, 100)));
    py::list_append(result.get(), py::integer(floor_modulo(signed_version, 100)));
    py::list_append(result.get(), branch_text);
    return result;
}

py::Ref driver_version(PyObject* module) {
    check_nvapi(NvAPI_Initialize(), "NvAPI_Initialize");
    return py::with_finally([&] { return query_driver_version(module); },
                            [] { check_nvapi(NvAPI_Unload(), "NvAPI_Unload"); });
}

bool argv_contains(PyObject* argv, const char* option) {
    return py::truth(py::call_method(argv, "__contains__", py::text(option)).get());
}

py::Ref run_main(PyObject* module) {
    py::Ref log = py::getattr(module, "log");
    py::Ref argv = py::getattr(py::getattr(module, "sys").get(), "argv");
    if (argv_contains(argv.get(), "-v") || argv_contains(argv.get(), "--verbose")) py::call_method(log.get(), "enable_debug");
    py::Ref init = py::import_from("tevu.platform", "init");
    py::Ref clean = py::import_from("tevu.platform", "clean");
    py::with_finally(
        [&] {
            py::call(init.get(), py::text("Nvidia-Info"), py::text("Nvidia Info"));
            py::Ref version = driver_version(module);
            return py::call_method(log.get(), "info", py::text("%s"), version);
        },
        [&] { py::call(clean.get()); });
    return py::none();
}

PyObject* raiseNVAPI(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        const auto [r, msg] = py::required_arguments<2>("raiseNVAPI", args, kwargs, {"r", "msg"});
        if (!py::is_integer(r)) py::raise(PyExc_TypeError, "raiseNVAPI() argument r must be an integer status");
        const long long status = py::as_long_long(r);
        if (status < INT32_MIN || status > UINT32_MAX)
            py::raise(PyExc_OverflowError, "raiseNVAPI() argument r is not a 32-bit status");
        raise_nvapi(static_cast<std::uint32_t>(status), msg);
        return py::none();
    });
}

PyObject* get_driver_version(PyObject* module, PyObject*) {
    return py::guarded([&] { return driver_version(module); });
}

PyObject* main(PyObject* module, PyObject*) {
    return py::guarded([&] { return run_main(module); });
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
PyMethodDef module_functions[] = {
    {"raiseNVAPI", py::cfunction(raiseNVAPI), METH_VARARGS | METH_KEYWORDS,
     "raiseNVAPI(r, msg): raises Exception(\"error <r> <msg>\") unless r is 0."},
    {"get_driver_version", get_driver_version, METH_NOARGS,
     "get_driver_version() -> [major, minor, branch] of the display driver."},
    {"main", main, METH_NOARGS, "main(): logs the driver version (-v or --verbose in sys.argv: debug output)."},
};

}  // namespace

TEVU_PY_MODULE_INIT(drvquery) {
    py::Ref module = py::create_module("drvquery", no_methods, "Display driver version query.");
    py::add_object(module.get(), "sys", py::import("sys"));
    py::add_object(module.get(), "os", py::import("os"));
    py::Ref logger_class = py::import_from("tevu.log", "Logger");
    py::add_object(module.get(), "Logger", logger_class);
    py::add_object(module.get(), "log", py::call(logger_class.get(), py::text("encoder"), py::text("nvenc")));
    for (PyMethodDef& definition : module_functions) py::add_function(module.get(), &definition);
    if (py::str(py::getattr(module.get(), "__name__").get()) == "__main__") run_main(module.get());
    return module;
}
