// The exported driver entry points. Each first applies CUDA_EMU_FAIL, then refuses with
// CUDA_ERROR_NOT_INITIALIZED before a successful cuInit (except the calls the driver allows before it),
// then hands over to the registry.
#include "config.h"
#include "errors.h"
#include "leak_report.h"
#include "registry.h"
#include "standin_export.h"

#define TEVU_CUDA_EXPORT TEVU_STANDIN_EXPORT

// The prototypes, so that every definition below must match the shared declarations.
#define TEVU_CUDA_DECLARE(name, symbol, params) TEVU_CUDA_EXPORT CUresult TEVU_CUDAAPI symbol params;
TEVU_CUDA_DRIVER_ENTRY_POINTS(TEVU_CUDA_DECLARE)
#undef TEVU_CUDA_DECLARE

namespace {

using tevu::standin::cuda::Registry;

enum class Needs { nothing, init };

CUresult enter(const char* name, Needs needs) {
    if (auto failure = tevu::standin::cuda::injected_failure(name)) return *failure;
    if (needs == Needs::init && !Registry::instance().initialized()) return CUDA_ERROR_NOT_INITIALIZED;
    return CUDA_SUCCESS;
}

Registry& registry() { return Registry::instance(); }

// Writes the leak report when the process ends (the registry itself outlives this object).
struct ReportAtExit {
    ~ReportAtExit() { tevu::standin::cuda::write_leak_report(); }
} report_at_exit;

}  // namespace

#define TEVU_ENTER(name, needs)                       \
    if (CUresult refused = enter(#name, Needs::needs)) \
    return refused

CUresult TEVU_CUDAAPI cuInit(unsigned int flags) {
    TEVU_ENTER(cuInit, nothing);
    return registry().init(flags);
}

CUresult TEVU_CUDAAPI cuDriverGetVersion(int* version) {
    TEVU_ENTER(cuDriverGetVersion, nothing);
    if (!version) return CUDA_ERROR_INVALID_VALUE;
    *version = tevu::standin::cuda::reported_driver_version;
    return CUDA_SUCCESS;
}

CUresult TEVU_CUDAAPI cuDeviceGetCount(int* count) {
    TEVU_ENTER(cuDeviceGetCount, init);
    return registry().device_count(count);
}

CUresult TEVU_CUDAAPI cuDeviceGet(CUdevice* device, int ordinal) {
    TEVU_ENTER(cuDeviceGet, init);
    return registry().device_get(device, ordinal);
}

CUresult TEVU_CUDAAPI cuDeviceGetName(char* name, int length, CUdevice device) {
    TEVU_ENTER(cuDeviceGetName, init);
    return registry().device_name(name, length, device);
}

CUresult TEVU_CUDAAPI cuDeviceGetPCIBusId(char* bus_id, int length, CUdevice device) {
    TEVU_ENTER(cuDeviceGetPCIBusId, init);
    return registry().device_pci_bus_id(bus_id, length, device);
}

CUresult TEVU_CUDAAPI cuDeviceTotalMem_v2(size_t* bytes, CUdevice device) {
    TEVU_ENTER(cuDeviceTotalMem, init);
    return registry().device_total_memory(bytes, device);
}

CUresult TEVU_CUDAAPI cuDeviceGetAttribute(int* value, CUdevice_attribute attribute, CUdevice device) {
    TEVU_ENTER(cuDeviceGetAttribute, init);
    return registry().device_attribute(value, attribute, device);
}

CUresult TEVU_CUDAAPI cuDeviceComputeCapability(int* major, int* minor, CUdevice device) {
    TEVU_ENTER(cuDeviceComputeCapability, init);
    return registry().device_compute_capability(major, minor, device);
}

CUresult TEVU_CUDAAPI cuCtxCreate_v2(CUcontext* context, unsigned int flags, CUdevice device) {
    TEVU_ENTER(cuCtxCreate, init);
    return registry().context_create(context, flags, device);
}

CUresult TEVU_CUDAAPI cuCtxDestroy_v2(CUcontext context) {
    TEVU_ENTER(cuCtxDestroy, init);
    return registry().context_destroy(context);
}

CUresult TEVU_CUDAAPI cuCtxPushCurrent_v2(CUcontext context) {
    TEVU_ENTER(cuCtxPushCurrent, init);
    return registry().context_push(context);
}

CUresult TEVU_CUDAAPI cuCtxPopCurrent_v2(CUcontext* context) {
    TEVU_ENTER(cuCtxPopCurrent, init);
    return registry().context_pop(context);
}

CUresult TEVU_CUDAAPI cuCtxGetCurrent(CUcontext* context) {
    TEVU_ENTER(cuCtxGetCurrent, init);
    return registry().context_get_current(context);
}

CUresult TEVU_CUDAAPI cuCtxSetCurrent(CUcontext context) {
    TEVU_ENTER(cuCtxSetCurrent, init);
    return registry().context_set_current(context);
}

CUresult TEVU_CUDAAPI cuCtxGetDevice(CUdevice* device) {
    TEVU_ENTER(cuCtxGetDevice, init);
    return registry().context_get_device(device);
}

CUresult TEVU_CUDAAPI cuCtxSynchronize(void) {
    TEVU_ENTER(cuCtxSynchronize, init);
    return registry().context_synchronize();
}

CUresult TEVU_CUDAAPI cuCtxGetApiVersion(CUcontext context, unsigned int* version) {
    TEVU_ENTER(cuCtxGetApiVersion, init);
    return registry().context_api_version(context, version);
}

CUresult TEVU_CUDAAPI cuMemAlloc_v2(CUdeviceptr* address, size_t bytes) {
    TEVU_ENTER(cuMemAlloc, init);
    return registry().mem_alloc(address, bytes);
}

CUresult TEVU_CUDAAPI cuMemAllocPitch_v2(CUdeviceptr* address, size_t* pitch, size_t width_bytes, size_t height,
                                         unsigned int element_size) {
    TEVU_ENTER(cuMemAllocPitch, init);
    return registry().mem_alloc_pitch(address, pitch, width_bytes, height, element_size);
}

CUresult TEVU_CUDAAPI cuMemFree_v2(CUdeviceptr address) {
    TEVU_ENTER(cuMemFree, init);
    return registry().mem_free(address);
}

CUresult TEVU_CUDAAPI cuMemGetInfo_v2(size_t* free_bytes, size_t* total_bytes) {
    TEVU_ENTER(cuMemGetInfo, init);
    return registry().mem_get_info(free_bytes, total_bytes);
}

CUresult TEVU_CUDAAPI cuMemcpyHtoD_v2(CUdeviceptr dst, const void* src, size_t bytes) {
    TEVU_ENTER(cuMemcpyHtoD, init);
    return registry().memcpy_htod(dst, src, bytes);
}

CUresult TEVU_CUDAAPI cuMemcpyDtoH_v2(void* dst, CUdeviceptr src, size_t bytes) {
    TEVU_ENTER(cuMemcpyDtoH, init);
    return registry().memcpy_dtoh(dst, src, bytes);
}

CUresult TEVU_CUDAAPI cuMemcpy2D_v2(const CUDA_MEMCPY2D* copy) {
    TEVU_ENTER(cuMemcpy2D, init);
    return registry().memcpy_2d(copy);
}

CUresult TEVU_CUDAAPI cuMemHostAlloc(void** host, size_t bytes, unsigned int flags) {
    TEVU_ENTER(cuMemHostAlloc, init);
    return registry().host_alloc(host, bytes, flags);
}

CUresult TEVU_CUDAAPI cuMemFreeHost(void* host) {
    TEVU_ENTER(cuMemFreeHost, init);
    return registry().host_free(host);
}

CUresult TEVU_CUDAAPI cuMemHostGetDevicePointer_v2(CUdeviceptr* address, void* host, unsigned int flags) {
    TEVU_ENTER(cuMemHostGetDevicePointer, init);
    return registry().host_device_pointer(address, host, flags);
}

CUresult TEVU_CUDAAPI cuModuleLoadData(CUmodule* module, const void* image) {
    TEVU_ENTER(cuModuleLoadData, init);
    return registry().module_load(module, image);
}

CUresult TEVU_CUDAAPI cuModuleUnload(CUmodule module) {
    TEVU_ENTER(cuModuleUnload, init);
    return registry().module_unload(module);
}

CUresult TEVU_CUDAAPI cuModuleGetFunction(CUfunction* function, CUmodule module, const char* name) {
    TEVU_ENTER(cuModuleGetFunction, init);
    return registry().module_function(function, module, name);
}

CUresult TEVU_CUDAAPI cuFuncGetAttribute(int* value, CUfunction_attribute attribute, CUfunction function) {
    TEVU_ENTER(cuFuncGetAttribute, init);
    return registry().function_attribute(value, attribute, function);
}

CUresult TEVU_CUDAAPI cuLaunchKernel(CUfunction function, unsigned int grid_x, unsigned int grid_y,
                                     unsigned int grid_z, unsigned int block_x, unsigned int block_y,
                                     unsigned int block_z, unsigned int shared_bytes, CUstream stream,
                                     void** params, void** extra) {
    TEVU_ENTER(cuLaunchKernel, init);
    tevu::standin::cuda::LaunchGeometry geometry{{grid_x, grid_y, grid_z}, {block_x, block_y, block_z}, shared_bytes};
    return registry().launch(function, geometry, stream, params, extra);
}

CUresult TEVU_CUDAAPI cuGetErrorName(CUresult error, const char** name) {
    TEVU_ENTER(cuGetErrorName, nothing);
    const auto* known = tevu::standin::cuda::find_result(error);
    if (!name) return CUDA_ERROR_INVALID_VALUE;
    *name = known ? known->name : nullptr;
    return known ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
}

CUresult TEVU_CUDAAPI cuGetErrorString(CUresult error, const char** text) {
    TEVU_ENTER(cuGetErrorString, nothing);
    const auto* known = tevu::standin::cuda::find_result(error);
    if (!text) return CUDA_ERROR_INVALID_VALUE;
    *text = known ? known->description : nullptr;
    return known ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
}

// Tells tools that look for NVIDIA's driver library that this one stands in for it.
TEVU_CUDA_EXPORT const char tevu_platform_standin[] = "CUDA driver stand-in (CPU)";
