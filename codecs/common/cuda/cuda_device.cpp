// Devices and contexts.
#include "cuda_layer.h"
#include "layer_internal.h"

#include <utility>

namespace tevu::cuda {

int Device::count(const DriverPtr& driver) {
    int count = 0;
    driver->check(driver->cuDeviceGetCount(&count), "cuDeviceGetCount");
    return count;
}

Device Device::get(DriverPtr driver, int ordinal) {
    CUdevice handle = 0;
    driver->check(driver->cuDeviceGet(&handle, ordinal), "cuDeviceGet");
    return Device(std::move(driver), handle);
}

std::string Device::name() const {
    char text[256] = {};
    driver_->check(driver_->cuDeviceGetName(text, sizeof text, handle_), "cuDeviceGetName");
    return text;
}

std::string Device::pci_bus_id() const {
    char text[64] = {};
    driver_->check(driver_->cuDeviceGetPCIBusId(text, sizeof text, handle_), "cuDeviceGetPCIBusId");
    return text;
}

std::size_t Device::total_memory() const {
    std::size_t bytes = 0;
    driver_->check(driver_->cuDeviceTotalMem(&bytes, handle_), "cuDeviceTotalMem");
    return bytes;
}

int Device::get_attribute(CUdevice_attribute attribute) const {
    int value = 0;
    driver_->check(driver_->cuDeviceGetAttribute(&value, attribute, handle_), "cuDeviceGetAttribute");
    return value;
}

std::pair<int, int> Device::compute_capability() const {
    int major = 0, minor = 0;
    driver_->check(driver_->cuDeviceComputeCapability(&major, &minor, handle_), "cuDeviceComputeCapability");
    return {major, minor};
}

Context Device::make_context(unsigned int flags) const {
    CUcontext handle = nullptr;
    driver_->check(driver_->cuCtxCreate(&handle, flags, handle_), "cuCtxCreate");
    return Context(driver_, handle);
}

Context::Context(Context&& other) noexcept
    : driver_(std::move(other.driver_)), handle_(std::exchange(other.handle_, nullptr)) {}

Context& Context::operator=(Context&& other) noexcept {
    if (this != &other) {
        Context old(std::move(*this));
        driver_ = std::move(other.driver_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

Context::~Context() {
    detail::release_ignoring_errors([this] { detach(); });
}

void Context::push() const { driver_->check(driver_->cuCtxPushCurrent(handle_), "cuCtxPushCurrent"); }

void Context::pop() const {
    if (!handle_ || current(*driver_) != handle_)
        throw LogicError(CUDA_ERROR_INVALID_CONTEXT, "cuCtxPopCurrent",
                         "cuCtxPopCurrent failed: cannot pop non-current context");
    CUcontext popped = nullptr;
    driver_->check(driver_->cuCtxPopCurrent(&popped), "cuCtxPopCurrent");
}

void Context::detach() {
    if (!handle_) return;
    driver_->check(driver_->cuCtxDestroy(handle_), "cuCtxDestroy");
    handle_ = nullptr;
}

unsigned int Context::get_api_version() const {
    unsigned int version = 0;
    driver_->check(driver_->cuCtxGetApiVersion(handle_, &version), "cuCtxGetApiVersion");
    return version;
}

CUcontext Context::current(const Driver& driver) {
    CUcontext handle = nullptr;
    driver.check(driver.cuCtxGetCurrent(&handle), "cuCtxGetCurrent");
    return handle;
}

ContextScope::ContextScope(const Context& context) : context_(context) { context_.push(); }

ContextScope::~ContextScope() {
    try {
        context_.pop();
    } catch (const Error&) {
        // Nothing sensible to do at the end of a scope; the context stack is the driver's.
    }
}

}  // namespace tevu::cuda
