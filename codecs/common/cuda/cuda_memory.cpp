// Device allocations, page-locked host memory, copies and memory information.
#include "cuda_layer.h"
#include "layer_internal.h"

#include <cstring>
#include <utility>

namespace tevu::cuda {

using detail::OwnerActivation;
using detail::release_ignoring_errors;


DeviceAllocation::DeviceAllocation(DeviceAllocation&& other) noexcept
    : driver_(std::move(other.driver_)),
      address_(std::exchange(other.address_, 0)),
      owner_(std::exchange(other.owner_, nullptr)) {}

DeviceAllocation& DeviceAllocation::operator=(DeviceAllocation&& other) noexcept {
    if (this != &other) {
        DeviceAllocation old(std::move(*this));
        driver_ = std::move(other.driver_);
        address_ = std::exchange(other.address_, 0);
        owner_ = std::exchange(other.owner_, nullptr);
    }
    return *this;
}

DeviceAllocation::~DeviceAllocation() {
    release_ignoring_errors([this] { free(); });
}

void DeviceAllocation::free() {
    if (!address_) return;
    {
        OwnerActivation activation(*driver_, owner_);
        driver_->check(driver_->cuMemFree(address_), "cuMemFree");
    }
    address_ = 0;
    owner_ = nullptr;
}

PitchedAllocation mem_alloc_pitch(const DriverPtr& driver, std::size_t row_bytes, std::size_t rows,
                                  unsigned int access_size) {
    CUdeviceptr address = 0;
    std::size_t pitch = 0;
    driver->check(driver->cuMemAllocPitch(&address, &pitch, row_bytes, rows, access_size), "cuMemAllocPitch");
    return PitchedAllocation{DeviceAllocation(driver, address, Context::current(*driver)), pitch};
}

DeviceAllocation mem_alloc(const DriverPtr& driver, std::size_t bytes) {
    CUdeviceptr address = 0;
    driver->check(driver->cuMemAlloc(&address, bytes), "cuMemAlloc");
    return DeviceAllocation(driver, address, Context::current(*driver));
}

PagelockedBuffer::PagelockedBuffer(PagelockedBuffer&& other) noexcept
    : driver_(std::move(other.driver_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      owner_(std::exchange(other.owner_, nullptr)) {}

PagelockedBuffer& PagelockedBuffer::operator=(PagelockedBuffer&& other) noexcept {
    if (this != &other) {
        PagelockedBuffer old(std::move(*this));
        driver_ = std::move(other.driver_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        owner_ = std::exchange(other.owner_, nullptr);
    }
    return *this;
}

PagelockedBuffer::~PagelockedBuffer() {
    release_ignoring_errors([this] { free(); });
}

void PagelockedBuffer::free() {
    if (!data_) return;
    {
        OwnerActivation activation(*driver_, owner_);
        driver_->check(driver_->cuMemFreeHost(data_), "cuMemFreeHost");
    }
    data_ = nullptr;
    size_ = 0;
    owner_ = nullptr;
}

PagelockedBuffer pagelocked_zeros(const DriverPtr& driver, std::size_t bytes, unsigned int flags) {
    void* data = nullptr;
    driver->check(driver->cuMemHostAlloc(&data, bytes, flags), "cuMemHostAlloc");
    PagelockedBuffer buffer(driver, data, bytes, Context::current(*driver));
    std::memset(buffer.data(), 0, bytes);
    return buffer;
}

void memcpy_htod(const Driver& driver, CUdeviceptr dst, const void* src, std::size_t bytes) {
    driver.check(driver.cuMemcpyHtoD(dst, src, bytes), "cuMemcpyHtoD");
}

void memcpy_dtoh(const Driver& driver, void* dst, CUdeviceptr src, std::size_t bytes) {
    driver.check(driver.cuMemcpyDtoH(dst, src, bytes), "cuMemcpyDtoH");
}

MemoryInfo mem_get_info(const Driver& driver) {
    MemoryInfo info;
    driver.check(driver.cuMemGetInfo(&info.free, &info.total), "cuMemGetInfo");
    return info;
}

void synchronize(const Driver& driver) { driver.check(driver.cuCtxSynchronize(), "cuCtxSynchronize"); }

}  // namespace tevu::cuda
