// Initialisation, devices, contexts and the per-thread context stack.
#include "config.h"
#include "registry.h"

#include <cstdio>
#include <mutex>

namespace tevu::standin::cuda {

namespace {

thread_local std::vector<CUcontext> context_stack;

CUresult copy_text(char* out, int length, const char* text) {
    if (!out || length <= 0) return CUDA_ERROR_INVALID_VALUE;
    std::snprintf(out, static_cast<std::size_t>(length), "%s", text);
    return CUDA_SUCCESS;
}

bool valid_scheduling(unsigned int flags) {
    unsigned int scheduling = flags & CU_CTX_SCHED_MASK;
    return scheduling == CU_CTX_SCHED_AUTO || scheduling == CU_CTX_SCHED_SPIN ||
           scheduling == CU_CTX_SCHED_YIELD || scheduling == CU_CTX_SCHED_BLOCKING_SYNC;
}

}  // namespace

std::optional<int> device_attribute_value(CUdevice_attribute attribute, CUdevice device) {
    switch (attribute) {
    case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK: return 1024;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X: return 1024;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y: return 1024;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z: return 64;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X: return 2147483647;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y: return 65535;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z: return 65535;
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK: return 49152;
    case CU_DEVICE_ATTRIBUTE_TOTAL_CONSTANT_MEMORY: return 65536;
    case CU_DEVICE_ATTRIBUTE_WARP_SIZE: return 32;
    case CU_DEVICE_ATTRIBUTE_MAX_PITCH: return 2147483647;
    case CU_DEVICE_ATTRIBUTE_MAX_REGISTERS_PER_BLOCK: return 65536;
    case CU_DEVICE_ATTRIBUTE_CLOCK_RATE: return 1100000;
    case CU_DEVICE_ATTRIBUTE_TEXTURE_ALIGNMENT: return 512;
    case CU_DEVICE_ATTRIBUTE_GPU_OVERLAP: return 1;
    case CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT: return 16;
    case CU_DEVICE_ATTRIBUTE_KERNEL_EXEC_TIMEOUT: return 0;
    case CU_DEVICE_ATTRIBUTE_INTEGRATED: return 0;
    case CU_DEVICE_ATTRIBUTE_CAN_MAP_HOST_MEMORY: return 1;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_MODE: return 0;
    case CU_DEVICE_ATTRIBUTE_CONCURRENT_KERNELS: return 1;
    case CU_DEVICE_ATTRIBUTE_ECC_ENABLED: return 0;
    case CU_DEVICE_ATTRIBUTE_PCI_BUS_ID: return device + 1;
    case CU_DEVICE_ATTRIBUTE_PCI_DEVICE_ID: return 0;
    case CU_DEVICE_ATTRIBUTE_TCC_DRIVER: return 0;
    case CU_DEVICE_ATTRIBUTE_MEMORY_CLOCK_RATE: return 3505000;
    case CU_DEVICE_ATTRIBUTE_GLOBAL_MEMORY_BUS_WIDTH: return 256;
    case CU_DEVICE_ATTRIBUTE_L2_CACHE_SIZE: return 2097152;
    case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_MULTIPROCESSOR: return 2048;
    case CU_DEVICE_ATTRIBUTE_ASYNC_ENGINE_COUNT: return 2;
    case CU_DEVICE_ATTRIBUTE_UNIFIED_ADDRESSING: return 1;
    case CU_DEVICE_ATTRIBUTE_PCI_DOMAIN_ID: return 0;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR: return reported_compute_major;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR: return reported_compute_minor;
    default: return std::nullopt;
    }
}

Registry& Registry::instance() {
    static Registry* registry = new Registry;  // never destroyed: see the header
    return *registry;
}

template <class Handle>
Handle Registry::new_handle() {
    last_handle_ += 0x100;
    return reinterpret_cast<Handle>(last_handle_);
}
template CUcontext Registry::new_handle<CUcontext>();
template CUmodule Registry::new_handle<CUmodule>();
template CUfunction Registry::new_handle<CUfunction>();

CUresult Registry::init(unsigned int flags) {
    if (flags != 0) return CUDA_ERROR_INVALID_VALUE;
    std::unique_lock lock(mutex_);
    if (initialized_) return CUDA_SUCCESS;
    int count = configured_device_count();
    if (count == 0) return CUDA_ERROR_NO_DEVICE;
    devices_.assign(static_cast<std::size_t>(count), DeviceState{configured_device_memory(), 0});
    initialized_ = true;
    return CUDA_SUCCESS;
}

bool Registry::valid_device(CUdevice device) const {
    return device >= 0 && static_cast<std::size_t>(device) < devices_.size();
}

CUresult Registry::device_count(int* count) const {
    if (!count) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    *count = static_cast<int>(devices_.size());
    return CUDA_SUCCESS;
}

CUresult Registry::device_get(CUdevice* device, int ordinal) const {
    if (!device) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    if (!valid_device(ordinal)) return CUDA_ERROR_INVALID_DEVICE;
    *device = ordinal;
    return CUDA_SUCCESS;
}

CUresult Registry::device_name(char* name, int length, CUdevice device) const {
    std::shared_lock lock(mutex_);
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    return copy_text(name, length, ("Tevu CPU Device " + std::to_string(device)).c_str());
}

CUresult Registry::device_pci_bus_id(char* bus_id, int length, CUdevice device) const {
    std::shared_lock lock(mutex_);
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    char text[16];
    std::snprintf(text, sizeof text, "0000:%02x:00.0", static_cast<unsigned>(device + 1) & 0xffu);
    return copy_text(bus_id, length, text);
}

CUresult Registry::device_total_memory(std::size_t* bytes, CUdevice device) const {
    if (!bytes) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    *bytes = devices_[static_cast<std::size_t>(device)].total_memory;
    return CUDA_SUCCESS;
}

CUresult Registry::device_attribute(int* value, CUdevice_attribute attribute, CUdevice device) const {
    if (!value) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    auto answer = device_attribute_value(attribute, device);
    if (!answer) return CUDA_ERROR_INVALID_VALUE;
    *value = *answer;
    return CUDA_SUCCESS;
}

CUresult Registry::device_compute_capability(int* major, int* minor, CUdevice device) const {
    if (!major || !minor) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    *major = reported_compute_major;
    *minor = reported_compute_minor;
    return CUDA_SUCCESS;
}

CUresult Registry::context_state(CUcontext context) const {
    if (contexts_.count(context)) return CUDA_SUCCESS;
    return destroyed_contexts_.count(context) ? CUDA_ERROR_CONTEXT_IS_DESTROYED : CUDA_ERROR_INVALID_CONTEXT;
}

CUresult Registry::current_context(CUcontext& context) const {
    if (context_stack.empty()) return CUDA_ERROR_INVALID_CONTEXT;
    context = context_stack.back();
    return context_state(context);
}

CUresult Registry::context_create(CUcontext* context, unsigned int flags, CUdevice device) {
    if (!context) return CUDA_ERROR_INVALID_VALUE;
    if ((flags & ~CU_CTX_FLAGS_MASK) || !valid_scheduling(flags)) return CUDA_ERROR_INVALID_VALUE;
    std::unique_lock lock(mutex_);
    if (!valid_device(device)) return CUDA_ERROR_INVALID_DEVICE;
    CUcontext handle = new_handle<CUcontext>();
    contexts_[handle] = ContextState{device, flags};
    context_stack.push_back(handle);
    *context = handle;
    return CUDA_SUCCESS;
}

CUresult Registry::context_destroy(CUcontext context) {
    std::unique_lock lock(mutex_);
    if (context_state(context) != CUDA_SUCCESS) return CUDA_ERROR_INVALID_CONTEXT;  // unknown, or gone already
    release_context_objects(context);
    contexts_.erase(context);
    destroyed_contexts_.insert(context);
    if (!context_stack.empty() && context_stack.back() == context) context_stack.pop_back();
    return CUDA_SUCCESS;
}

CUresult Registry::context_push(CUcontext context) {
    std::shared_lock lock(mutex_);
    if (CUresult state = context_state(context)) return state;
    context_stack.push_back(context);
    return CUDA_SUCCESS;
}

CUresult Registry::context_pop(CUcontext* context) {
    if (context_stack.empty()) return CUDA_ERROR_INVALID_CONTEXT;
    if (context) *context = context_stack.back();
    context_stack.pop_back();
    return CUDA_SUCCESS;
}

CUresult Registry::context_get_current(CUcontext* context) const {
    if (!context) return CUDA_ERROR_INVALID_VALUE;
    *context = context_stack.empty() ? nullptr : context_stack.back();
    return CUDA_SUCCESS;
}

CUresult Registry::context_set_current(CUcontext context) {
    if (!context) {
        if (!context_stack.empty()) context_stack.pop_back();
        return CUDA_SUCCESS;
    }
    std::shared_lock lock(mutex_);
    if (CUresult state = context_state(context)) return state;
    if (context_stack.empty())
        context_stack.push_back(context);
    else
        context_stack.back() = context;
    return CUDA_SUCCESS;
}

CUresult Registry::context_get_device(CUdevice* device) const {
    if (!device) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    CUcontext current = nullptr;
    if (CUresult state = current_context(current)) return state;
    *device = contexts_.at(current).device;
    return CUDA_SUCCESS;
}

CUresult Registry::context_synchronize() const {
    std::shared_lock lock(mutex_);
    CUcontext current = nullptr;
    return current_context(current);
}

CUresult Registry::context_api_version(CUcontext context, unsigned int* version) const {
    if (!version) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    if (CUresult state = context ? context_state(context) : current_context(context)) return state;
    *version = reported_api_version;
    return CUDA_SUCCESS;
}

void Registry::release_context_objects(CUcontext context) {
    for (auto it = allocations_.begin(); it != allocations_.end();)
        if (it->second.owner == context)
            release_allocation(it++);
        else
            ++it;
    for (auto it = host_buffers_.begin(); it != host_buffers_.end();)
        if (it->second.owner == context)
            it = host_buffers_.erase(it);
        else
            ++it;
    for (auto it = modules_.begin(); it != modules_.end();)
        if (it->second.owner == context)
            release_module(it++);
        else
            ++it;
}

}  // namespace tevu::standin::cuda
