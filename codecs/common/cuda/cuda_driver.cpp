// The driver's entry points bound from the library, and the mapping of results to exceptions.
#include "cuda_layer.h"

#include <cstring>

namespace tevu::cuda {

Error::Error(CUresult code, std::string operation, const std::string& message)
    : std::runtime_error(message), code_(code), operation_(std::move(operation)) {}

namespace {

template <class Pointer>
void bind(const DynamicLibrary& library, const char* symbol, Pointer& target) {
    target = reinterpret_cast<Pointer>(library.symbol(symbol));
}

}  // namespace

Driver::Driver(std::shared_ptr<DynamicLibrary> library) : library_(std::move(library)) {
#define TEVU_CUDA_BIND(name, symbol, params) bind(*library_, #symbol, name);
    TEVU_CUDA_DRIVER_ENTRY_POINTS(TEVU_CUDA_BIND)
#undef TEVU_CUDA_BIND
}

std::shared_ptr<const Driver> Driver::load() {
    return std::make_shared<const Driver>(DynamicLibrary::open_first(cuda_driver_library(native_windows)));
}

std::shared_ptr<const Driver> Driver::load(const std::string& library_name) {
    return std::make_shared<const Driver>(DynamicLibrary::open(library_name));
}

void Driver::init(unsigned int flags) const { check(cuInit(flags), "cuInit"); }

int Driver::version() const {
    int version = 0;
    check(cuDriverGetVersion(&version), "cuDriverGetVersion");
    return version;
}

std::string Driver::describe(CUresult result) const {
    const char* text = nullptr;
    if (cuGetErrorString(result, &text) == CUDA_SUCCESS && text) return text;
    return "unknown error code " + std::to_string(result);
}

std::string Driver::error_name(CUresult result) const {
    const char* name = nullptr;
    if (cuGetErrorName(result, &name) == CUDA_SUCCESS && name) return name;
    return std::to_string(result);
}

void Driver::check(CUresult result, const char* operation) const {
    if (result == CUDA_SUCCESS) return;
    std::string message = std::string(operation) + " failed: " + describe(result);
    if (result == CUDA_ERROR_OUT_OF_MEMORY) throw MemoryError(result, operation, message);
    throw LogicError(result, operation, message);
}

}  // namespace tevu::cuda
