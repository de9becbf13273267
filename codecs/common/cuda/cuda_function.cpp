// Kernel argument lists, kernels and modules.
#include "cuda_layer.h"
#include "layer_internal.h"

#include <cstring>
#include <utility>

namespace tevu::cuda {

template <class T>
KernelArguments& KernelArguments::add(T value) {
    static_assert(sizeof(T) <= sizeof(std::uint64_t));
    std::uint64_t slot = 0;
    std::memcpy(&slot, &value, sizeof value);
    slots_.push_back(slot);
    pointers_.clear();
    for (auto& stored : slots_) pointers_.push_back(&stored);
    return *this;
}

KernelArguments& KernelArguments::pointer(CUdeviceptr value) { return add(value); }

KernelArguments& KernelArguments::int32(std::int32_t value) { return add(value); }

int Function::get_attribute(CUfunction_attribute attribute) const {
    int value = 0;
    driver_->check(driver_->cuFuncGetAttribute(&value, attribute, handle_), "cuFuncGetAttribute");
    return value;
}

void Function::launch(Dim3 grid, Dim3 block, KernelArguments& arguments, unsigned int shared_bytes) const {
    driver_->check(driver_->cuLaunchKernel(handle_, grid.x, grid.y, grid.z, block.x, block.y, block.z,
                                           shared_bytes, nullptr, arguments.params(), nullptr),
                   "cuLaunchKernel");
}

Module Module::load_data(DriverPtr driver, const void* image) {
    CUmodule handle = nullptr;
    driver->check(driver->cuModuleLoadData(&handle, image), "cuModuleLoadData");
    CUcontext owner = Context::current(*driver);
    return Module(std::move(driver), handle, owner);
}

Module::Module(Module&& other) noexcept
    : driver_(std::move(other.driver_)),
      handle_(std::exchange(other.handle_, nullptr)),
      owner_(std::exchange(other.owner_, nullptr)) {}

Module& Module::operator=(Module&& other) noexcept {
    if (this != &other) {
        Module old(std::move(*this));
        driver_ = std::move(other.driver_);
        handle_ = std::exchange(other.handle_, nullptr);
        owner_ = std::exchange(other.owner_, nullptr);
    }
    return *this;
}

Module::~Module() {
    detail::release_ignoring_errors([this] { unload(); });
}

Function Module::get_function(const char* name) const {
    CUfunction function = nullptr;
    driver_->check(driver_->cuModuleGetFunction(&function, handle_, name), "cuModuleGetFunction");
    return Function(driver_, function);
}

void Module::unload() {
    if (!handle_) return;
    {
        detail::OwnerActivation activation(*driver_, owner_);
        driver_->check(driver_->cuModuleUnload(handle_), "cuModuleUnload");
    }
    handle_ = nullptr;
    owner_ = nullptr;
}

}  // namespace tevu::cuda
