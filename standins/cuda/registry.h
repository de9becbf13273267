// The stand-in's state: devices, contexts (with each thread's context stack), device allocations,
// page-locked host buffers, modules and functions. Device memory is host memory: a device address is
// the address of the host block behind it. Context, module and function handles are unique values
// never reused, so stale and foreign handles are recognised and answered with the driver's error codes.
#pragma once

#include "cpu_kernels.h"
#include "cuda_driver_api.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

namespace tevu::standin::cuda {

// Blocks come from new_block() (memory.cpp); Windows frees aligned blocks with their own call.
struct BlockDeleter {
#if defined(_WIN32)
    void operator()(std::uint8_t* p) const noexcept { _aligned_free(p); }
#else
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
#endif
};
using Block = std::unique_ptr<std::uint8_t, BlockDeleter>;

struct DeviceState {
    std::size_t total_memory = 0;
    std::size_t used_memory = 0;
};

struct ContextState {
    CUdevice device = 0;
    unsigned int flags = 0;
};

struct AllocationState {
    Block block;
    std::size_t bytes = 0;
    std::size_t pitch = 0;  // 0 for linear allocations
    CUcontext owner = nullptr;
};

struct HostBufferState {
    Block block;
    std::size_t bytes = 0;
    unsigned int flags = 0;
    CUcontext owner = nullptr;
};

// A module loaded in a context: the entry names its image declares, and the functions looked up so far.
struct LoadedModule {
    CUcontext owner = nullptr;
    std::vector<std::string> entries;
    std::map<std::string, CUfunction> functions;
};

struct FunctionState {
    CUcontext owner = nullptr;
    const CpuKernel* kernel = nullptr;
};

struct LaunchGeometry {
    unsigned int grid[3];
    unsigned int block[3];
    unsigned int shared_bytes;
};

class Registry {
public:
    // The one registry of the process; it is never destroyed, so calls made during exit still work.
    static Registry& instance();

    CUresult init(unsigned int flags);
    bool initialized() const noexcept { return initialized_.load(); }

    // Devices.
    CUresult device_count(int* count) const;
    CUresult device_get(CUdevice* device, int ordinal) const;
    CUresult device_name(char* name, int length, CUdevice device) const;
    CUresult device_pci_bus_id(char* bus_id, int length, CUdevice device) const;
    CUresult device_total_memory(std::size_t* bytes, CUdevice device) const;
    CUresult device_attribute(int* value, CUdevice_attribute attribute, CUdevice device) const;
    CUresult device_compute_capability(int* major, int* minor, CUdevice device) const;

    // Contexts and the calling thread's context stack.
    CUresult context_create(CUcontext* context, unsigned int flags, CUdevice device);
    CUresult context_destroy(CUcontext context);
    CUresult context_push(CUcontext context);
    CUresult context_pop(CUcontext* context);
    CUresult context_get_current(CUcontext* context) const;
    CUresult context_set_current(CUcontext context);
    CUresult context_get_device(CUdevice* device) const;
    CUresult context_synchronize() const;
    CUresult context_api_version(CUcontext context, unsigned int* version) const;

    // Memory.
    CUresult mem_alloc(CUdeviceptr* address, std::size_t bytes);
    CUresult mem_alloc_pitch(CUdeviceptr* address, std::size_t* pitch, std::size_t width_bytes, std::size_t height,
                             unsigned int element_size);
    CUresult mem_free(CUdeviceptr address);
    CUresult mem_get_info(std::size_t* free_bytes, std::size_t* total_bytes) const;
    CUresult memcpy_htod(CUdeviceptr dst, const void* src, std::size_t bytes) const;
    CUresult memcpy_dtoh(void* dst, CUdeviceptr src, std::size_t bytes) const;
    CUresult memcpy_2d(const CUDA_MEMCPY2D* copy) const;
    CUresult host_alloc(void** host, std::size_t bytes, unsigned int flags);
    CUresult host_free(void* host);
    CUresult host_device_pointer(CUdeviceptr* address, void* host, unsigned int flags) const;

    // Modules, functions, launches.
    CUresult module_load(CUmodule* module, const void* image);
    CUresult module_unload(CUmodule module);
    CUresult module_function(CUfunction* function, CUmodule module, const char* name);
    CUresult function_attribute(int* value, CUfunction_attribute attribute, CUfunction function) const;
    CUresult launch(CUfunction function, const LaunchGeometry& geometry, CUstream stream, void** params,
                    void** extra) const;

    // The leak report: the summary line, then one line per object still alive.
    std::vector<std::string> live_objects() const;

private:
    Registry() = default;

    template <class Handle>
    Handle new_handle();
    bool valid_device(CUdevice device) const;
    // The calling thread's current context, checked to be alive (the lock must be held).
    CUresult current_context(CUcontext& context) const;
    CUresult context_state(CUcontext context) const;
    // The host address behind a device range lying wholly inside one allocation (or mapped host
    // buffer), or null (the lock must be held).
    std::uint8_t* device_range(CUdeviceptr address, std::size_t bytes) const;
    // The same for a page-locked host buffer that the device may address.
    std::uint8_t* mapped_host_range(std::uintptr_t address, std::size_t bytes) const;
    // A copy between host memory and a device range (host memory is only read when `to_device`).
    CUresult copy_linear(CUdeviceptr device, void* host, std::size_t bytes, bool to_device) const;
    CUresult allocate(CUdeviceptr* address, std::size_t bytes, std::size_t pitch);
    void release_context_objects(CUcontext context);
    void release_allocation(std::map<CUdeviceptr, AllocationState>::iterator it);
    void release_module(std::map<CUmodule, LoadedModule>::iterator it);

    mutable std::shared_mutex mutex_;
    std::atomic<bool> initialized_{false};
    std::uintptr_t last_handle_ = 0x10000000;
    std::vector<DeviceState> devices_;
    std::map<CUcontext, ContextState> contexts_;
    std::set<CUcontext> destroyed_contexts_;
    std::map<CUdeviceptr, AllocationState> allocations_;
    std::map<std::uintptr_t, HostBufferState> host_buffers_;
    std::map<CUmodule, LoadedModule> modules_;
    std::map<CUfunction, FunctionState> functions_;
};

// The per-device attribute values the stand-in reports.
std::optional<int> device_attribute_value(CUdevice_attribute attribute, CUdevice device);

inline constexpr int reported_compute_major = 5;
inline constexpr int reported_compute_minor = 2;
inline constexpr int reported_driver_version = 7050;
inline constexpr unsigned int reported_api_version = 3020;

}  // namespace tevu::standin::cuda
