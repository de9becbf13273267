// Device allocations, page-locked host buffers and copies. New memory is filled with a pattern, as the
// driver promises nothing about its content.
#include "registry.h"

#include <cstring>
#include <limits>
#include <mutex>

namespace tevu::standin::cuda {

namespace {

constexpr std::size_t device_alignment = 256;
constexpr std::size_t host_alignment = 4096;
constexpr std::size_t pitch_alignment = 512;
constexpr unsigned char fresh_device_byte = 0xA5;
constexpr unsigned char fresh_host_byte = 0x5A;
constexpr unsigned int host_alloc_flags =
    CU_MEMHOSTALLOC_PORTABLE | CU_MEMHOSTALLOC_DEVICEMAP | CU_MEMHOSTALLOC_WRITECOMBINED;

std::size_t round_up(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// A filled block of at least `bytes` bytes, or null when the host has no memory for it.
Block new_block(std::size_t bytes, std::size_t alignment, unsigned char fill) {
    if (bytes > std::numeric_limits<std::size_t>::max() - alignment) return Block();
    std::size_t size = round_up(bytes, alignment);
#if defined(_WIN32)
    Block block(static_cast<std::uint8_t*>(_aligned_malloc(size, alignment)));
#else
    Block block(static_cast<std::uint8_t*>(std::aligned_alloc(alignment, size)));
#endif
    if (block) std::memset(block.get(), fill, size);
    return block;
}

std::uintptr_t address_of(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

bool inside(std::uintptr_t base, std::size_t size, std::uintptr_t address, std::size_t bytes) {
    return address >= base && bytes <= size && address - base <= size - bytes;
}

}  // namespace

std::uint8_t* Registry::mapped_host_range(std::uintptr_t address, std::size_t bytes) const {
    auto it = host_buffers_.upper_bound(address);
    if (it == host_buffers_.begin()) return nullptr;
    --it;
    const HostBufferState& buffer = it->second;
    auto owner = contexts_.find(buffer.owner);
    bool mapped = (buffer.flags & CU_MEMHOSTALLOC_DEVICEMAP) ||
                  (owner != contexts_.end() && (owner->second.flags & CU_CTX_MAP_HOST));
    return mapped && inside(it->first, buffer.bytes, address, bytes) ? reinterpret_cast<std::uint8_t*>(address)
                                                                    : nullptr;
}

std::uint8_t* Registry::device_range(CUdeviceptr address, std::size_t bytes) const {
    auto it = allocations_.upper_bound(address);
    if (it != allocations_.begin()) {
        --it;
        if (inside(it->first, it->second.bytes, address, bytes)) return reinterpret_cast<std::uint8_t*>(address);
    }
    return mapped_host_range(address, bytes);
}

CUresult Registry::allocate(CUdeviceptr* address, std::size_t bytes, std::size_t pitch) {
    CUcontext owner = nullptr;
    if (CUresult state = current_context(owner)) return state;
    DeviceState& device = devices_[static_cast<std::size_t>(contexts_.at(owner).device)];
    if (bytes > device.total_memory - device.used_memory) return CUDA_ERROR_OUT_OF_MEMORY;
    Block block = new_block(bytes, device_alignment, fresh_device_byte);
    if (!block) return CUDA_ERROR_OUT_OF_MEMORY;
    CUdeviceptr at = address_of(block.get());
    device.used_memory += bytes;
    allocations_[at] = AllocationState{std::move(block), bytes, pitch, owner};
    *address = at;
    return CUDA_SUCCESS;
}

CUresult Registry::mem_alloc(CUdeviceptr* address, std::size_t bytes) {
    if (!address || bytes == 0) return CUDA_ERROR_INVALID_VALUE;
    std::unique_lock lock(mutex_);
    return allocate(address, bytes, 0);
}

CUresult Registry::mem_alloc_pitch(CUdeviceptr* address, std::size_t* pitch, std::size_t width_bytes,
                                   std::size_t height, unsigned int element_size) {
    if (!address || !pitch || width_bytes == 0 || height == 0) return CUDA_ERROR_INVALID_VALUE;
    if (element_size != 4 && element_size != 8 && element_size != 16) return CUDA_ERROR_INVALID_VALUE;
    if (width_bytes > static_cast<std::size_t>(*device_attribute_value(CU_DEVICE_ATTRIBUTE_MAX_PITCH, 0)))
        return CUDA_ERROR_INVALID_VALUE;
    std::size_t row = round_up(width_bytes, pitch_alignment);
    if (height > std::numeric_limits<std::size_t>::max() / row) return CUDA_ERROR_OUT_OF_MEMORY;
    std::unique_lock lock(mutex_);
    CUresult result = allocate(address, row * height, row);
    if (result == CUDA_SUCCESS) *pitch = row;
    return result;
}

void Registry::release_allocation(std::map<CUdeviceptr, AllocationState>::iterator it) {
    CUdevice device = contexts_.at(it->second.owner).device;
    devices_[static_cast<std::size_t>(device)].used_memory -= it->second.bytes;
    allocations_.erase(it);
}

CUresult Registry::mem_free(CUdeviceptr address) {
    std::unique_lock lock(mutex_);
    CUcontext current = nullptr;
    if (CUresult state = current_context(current)) return state;
    if (address == 0) return CUDA_SUCCESS;
    auto it = allocations_.find(address);
    if (it == allocations_.end()) return CUDA_ERROR_INVALID_VALUE;
    release_allocation(it);
    return CUDA_SUCCESS;
}

CUresult Registry::mem_get_info(std::size_t* free_bytes, std::size_t* total_bytes) const {
    if (!free_bytes || !total_bytes) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    CUcontext current = nullptr;
    if (CUresult state = current_context(current)) return state;
    const DeviceState& device = devices_[static_cast<std::size_t>(contexts_.at(current).device)];
    *free_bytes = device.total_memory - device.used_memory;
    *total_bytes = device.total_memory;
    return CUDA_SUCCESS;
}

CUresult Registry::copy_linear(CUdeviceptr device, void* host, std::size_t bytes, bool to_device) const {
    std::shared_lock lock(mutex_);
    CUcontext current = nullptr;
    if (CUresult state = current_context(current)) return state;
    if (bytes == 0) return CUDA_SUCCESS;
    std::uint8_t* device_bytes = device_range(device, bytes);
    if (!host || !device_bytes) return CUDA_ERROR_INVALID_VALUE;
    if (to_device)
        std::memmove(device_bytes, host, bytes);
    else
        std::memmove(host, device_bytes, bytes);
    return CUDA_SUCCESS;
}

CUresult Registry::memcpy_htod(CUdeviceptr dst, const void* src, std::size_t bytes) const {
    return copy_linear(dst, const_cast<void*>(src), bytes, true);
}

CUresult Registry::memcpy_dtoh(void* dst, CUdeviceptr src, std::size_t bytes) const {
    return copy_linear(src, dst, bytes, false);
}

namespace {

// One side of a 2D copy resolved to host addresses.
struct CopySide {
    CUmemorytype type;
    std::uintptr_t base;  // host pointer or device address
    std::size_t x, y, pitch;
};

// Bytes spanned from the side's start to the end of its last row.
bool span(const CopySide& side, std::size_t width, std::size_t height, std::size_t& bytes) {
    if (height > 1 && side.pitch < width) return false;
    std::size_t rows = side.y + height - 1;
    if (side.pitch && rows > (std::numeric_limits<std::size_t>::max() - side.x - width) / side.pitch) return false;
    bytes = side.x + rows * side.pitch + width;
    return true;
}

}  // namespace

CUresult Registry::memcpy_2d(const CUDA_MEMCPY2D* copy) const {
    if (!copy) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    CUcontext current = nullptr;
    if (CUresult state = current_context(current)) return state;
    if (copy->WidthInBytes == 0 || copy->Height == 0) return CUDA_SUCCESS;
    CopySide sides[2] = {
        {copy->srcMemoryType, copy->srcMemoryType == CU_MEMORYTYPE_HOST ? address_of(copy->srcHost) : copy->srcDevice,
         copy->srcXInBytes, copy->srcY, copy->srcPitch},
        {copy->dstMemoryType, copy->dstMemoryType == CU_MEMORYTYPE_HOST ? address_of(copy->dstHost) : copy->dstDevice,
         copy->dstXInBytes, copy->dstY, copy->dstPitch},
    };
    std::uint8_t* starts[2] = {};
    for (int i = 0; i < 2; ++i) {
        const CopySide& side = sides[i];
        std::size_t bytes = 0;
        if (!span(side, copy->WidthInBytes, copy->Height, bytes)) return CUDA_ERROR_INVALID_VALUE;
        if (side.type == CU_MEMORYTYPE_DEVICE || side.type == CU_MEMORYTYPE_UNIFIED) {
            starts[i] = device_range(side.base, bytes);
            if (!starts[i] && side.type == CU_MEMORYTYPE_UNIFIED) starts[i] = reinterpret_cast<std::uint8_t*>(side.base);
        } else if (side.type == CU_MEMORYTYPE_HOST) {
            starts[i] = reinterpret_cast<std::uint8_t*>(side.base);
        } else {
            return CUDA_ERROR_INVALID_VALUE;  // arrays are not supported
        }
        if (!starts[i]) return CUDA_ERROR_INVALID_VALUE;
    }
    for (std::size_t row = 0; row < copy->Height; ++row)
        std::memmove(starts[1] + sides[1].x + (sides[1].y + row) * sides[1].pitch,
                     starts[0] + sides[0].x + (sides[0].y + row) * sides[0].pitch, copy->WidthInBytes);
    return CUDA_SUCCESS;
}

CUresult Registry::host_alloc(void** host, std::size_t bytes, unsigned int flags) {
    if (!host || bytes == 0 || (flags & ~host_alloc_flags)) return CUDA_ERROR_INVALID_VALUE;
    std::unique_lock lock(mutex_);
    CUcontext owner = nullptr;
    if (CUresult state = current_context(owner)) return state;
    Block block = new_block(bytes, host_alignment, fresh_host_byte);
    if (!block) return CUDA_ERROR_OUT_OF_MEMORY;
    std::uintptr_t at = address_of(block.get());
    host_buffers_[at] = HostBufferState{std::move(block), bytes, flags, owner};
    *host = reinterpret_cast<void*>(at);
    return CUDA_SUCCESS;
}

CUresult Registry::host_free(void* host) {
    std::unique_lock lock(mutex_);
    CUcontext current = nullptr;
    if (CUresult state = current_context(current)) return state;
    auto it = host_buffers_.find(address_of(host));
    if (it == host_buffers_.end()) return CUDA_ERROR_INVALID_VALUE;
    host_buffers_.erase(it);
    return CUDA_SUCCESS;
}

CUresult Registry::host_device_pointer(CUdeviceptr* address, void* host, unsigned int flags) const {
    if (!address || !host || flags != 0) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    CUcontext current = nullptr;
    if (CUresult state = current_context(current)) return state;
    if (!mapped_host_range(address_of(host), 1)) return CUDA_ERROR_INVALID_VALUE;
    *address = address_of(host);
    return CUDA_SUCCESS;
}

}  // namespace tevu::standin::cuda
