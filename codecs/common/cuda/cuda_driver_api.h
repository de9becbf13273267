// Our own declarations of the part of the CUDA driver API that this project uses: types, constants and
// the entry points with their exported symbol names. Shared by the modules' CUDA layer (which binds the
// entry points at run time) and by the CPU stand-in of the driver library (which exports them).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define TEVU_CUDAAPI __stdcall
#else
#define TEVU_CUDAAPI
#endif

extern "C" {

typedef int CUresult;
typedef int CUdevice;
typedef std::uintptr_t CUdeviceptr;  // pointer-sized, as the driver defines it on each target
typedef struct CUctx_st* CUcontext;
typedef struct CUmod_st* CUmodule;
typedef struct CUfunc_st* CUfunction;
typedef struct CUstream_st* CUstream;
typedef struct CUarray_st* CUarray;

enum : CUresult {
    CUDA_SUCCESS = 0,
    CUDA_ERROR_INVALID_VALUE = 1,
    CUDA_ERROR_OUT_OF_MEMORY = 2,
    CUDA_ERROR_NOT_INITIALIZED = 3,
    CUDA_ERROR_DEINITIALIZED = 4,
    CUDA_ERROR_NO_DEVICE = 100,
    CUDA_ERROR_INVALID_DEVICE = 101,
    CUDA_ERROR_INVALID_IMAGE = 200,
    CUDA_ERROR_INVALID_CONTEXT = 201,
    CUDA_ERROR_MAP_FAILED = 205,
    CUDA_ERROR_NO_BINARY_FOR_GPU = 209,
    CUDA_ERROR_INVALID_PTX = 218,
    CUDA_ERROR_INVALID_SOURCE = 300,
    CUDA_ERROR_FILE_NOT_FOUND = 301,
    CUDA_ERROR_INVALID_HANDLE = 400,
    CUDA_ERROR_NOT_FOUND = 500,
    CUDA_ERROR_NOT_READY = 600,
    CUDA_ERROR_ILLEGAL_ADDRESS = 700,
    CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES = 701,
    CUDA_ERROR_LAUNCH_TIMEOUT = 702,
    CUDA_ERROR_CONTEXT_IS_DESTROYED = 709,
    CUDA_ERROR_LAUNCH_FAILED = 719,
    CUDA_ERROR_NOT_PERMITTED = 800,
    CUDA_ERROR_NOT_SUPPORTED = 801,
    CUDA_ERROR_UNKNOWN = 999,
};

typedef int CUdevice_attribute;
enum : CUdevice_attribute {
    CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK = 1,
    CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X = 2,
    CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y = 3,
    CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z = 4,
    CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X = 5,
    CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y = 6,
    CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z = 7,
    CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK = 8,
    CU_DEVICE_ATTRIBUTE_TOTAL_CONSTANT_MEMORY = 9,
    CU_DEVICE_ATTRIBUTE_WARP_SIZE = 10,
    CU_DEVICE_ATTRIBUTE_MAX_PITCH = 11,
    CU_DEVICE_ATTRIBUTE_MAX_REGISTERS_PER_BLOCK = 12,
    CU_DEVICE_ATTRIBUTE_CLOCK_RATE = 13,
    CU_DEVICE_ATTRIBUTE_TEXTURE_ALIGNMENT = 14,
    CU_DEVICE_ATTRIBUTE_GPU_OVERLAP = 15,
    CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT = 16,
    CU_DEVICE_ATTRIBUTE_KERNEL_EXEC_TIMEOUT = 17,
    CU_DEVICE_ATTRIBUTE_INTEGRATED = 18,
    CU_DEVICE_ATTRIBUTE_CAN_MAP_HOST_MEMORY = 19,
    CU_DEVICE_ATTRIBUTE_COMPUTE_MODE = 20,
    CU_DEVICE_ATTRIBUTE_CONCURRENT_KERNELS = 31,
    CU_DEVICE_ATTRIBUTE_ECC_ENABLED = 32,
    CU_DEVICE_ATTRIBUTE_PCI_BUS_ID = 33,
    CU_DEVICE_ATTRIBUTE_PCI_DEVICE_ID = 34,
    CU_DEVICE_ATTRIBUTE_TCC_DRIVER = 35,
    CU_DEVICE_ATTRIBUTE_MEMORY_CLOCK_RATE = 36,
    CU_DEVICE_ATTRIBUTE_GLOBAL_MEMORY_BUS_WIDTH = 37,
    CU_DEVICE_ATTRIBUTE_L2_CACHE_SIZE = 38,
    CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_MULTIPROCESSOR = 39,
    CU_DEVICE_ATTRIBUTE_ASYNC_ENGINE_COUNT = 40,
    CU_DEVICE_ATTRIBUTE_UNIFIED_ADDRESSING = 41,
    CU_DEVICE_ATTRIBUTE_PCI_DOMAIN_ID = 50,
    CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR = 75,
    CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR = 76,
};

typedef int CUfunction_attribute;
enum : CUfunction_attribute {
    CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK = 0,
    CU_FUNC_ATTRIBUTE_SHARED_SIZE_BYTES = 1,
    CU_FUNC_ATTRIBUTE_CONST_SIZE_BYTES = 2,
    CU_FUNC_ATTRIBUTE_LOCAL_SIZE_BYTES = 3,
    CU_FUNC_ATTRIBUTE_NUM_REGS = 4,
    CU_FUNC_ATTRIBUTE_PTX_VERSION = 5,
    CU_FUNC_ATTRIBUTE_BINARY_VERSION = 6,
};

enum : unsigned int {
    CU_CTX_SCHED_AUTO = 0x00,
    CU_CTX_SCHED_SPIN = 0x01,
    CU_CTX_SCHED_YIELD = 0x02,
    CU_CTX_SCHED_BLOCKING_SYNC = 0x04,
    CU_CTX_SCHED_MASK = 0x07,
    CU_CTX_MAP_HOST = 0x08,
    CU_CTX_LMEM_RESIZE_TO_MAX = 0x10,
    CU_CTX_FLAGS_MASK = 0x1f,
};

enum : unsigned int {
    CU_MEMHOSTALLOC_PORTABLE = 0x01,
    CU_MEMHOSTALLOC_DEVICEMAP = 0x02,
    CU_MEMHOSTALLOC_WRITECOMBINED = 0x04,
};

typedef int CUmemorytype;
enum : CUmemorytype {
    CU_MEMORYTYPE_HOST = 1,
    CU_MEMORYTYPE_DEVICE = 2,
    CU_MEMORYTYPE_ARRAY = 3,
    CU_MEMORYTYPE_UNIFIED = 4,
};

// The driver's 2D copy descriptor (member order and types as published).
typedef struct CUDA_MEMCPY2D_st {
    size_t srcXInBytes;
    size_t srcY;
    CUmemorytype srcMemoryType;
    const void* srcHost;
    CUdeviceptr srcDevice;
    CUarray srcArray;
    size_t srcPitch;
    size_t dstXInBytes;
    size_t dstY;
    CUmemorytype dstMemoryType;
    void* dstHost;
    CUdeviceptr dstDevice;
    CUarray dstArray;
    size_t dstPitch;
    size_t WidthInBytes;
    size_t Height;
} CUDA_MEMCPY2D;

}  // extern "C"

// Every entry point the project uses: X(name, exported symbol, parameter list). The name is the public
// one without the ABI suffix; it is also the name by which the stand-in's failure injection knows it.
#define TEVU_CUDA_DRIVER_ENTRY_POINTS(X)                                                                   \
    X(cuInit, cuInit, (unsigned int flags))                                                              \
    X(cuDriverGetVersion, cuDriverGetVersion, (int* version))                                            \
    X(cuDeviceGetCount, cuDeviceGetCount, (int* count))                                                  \
    X(cuDeviceGet, cuDeviceGet, (CUdevice * device, int ordinal))                                        \
    X(cuDeviceGetName, cuDeviceGetName, (char* name, int length, CUdevice device))                       \
    X(cuDeviceGetPCIBusId, cuDeviceGetPCIBusId, (char* bus_id, int length, CUdevice device))             \
    X(cuDeviceTotalMem, cuDeviceTotalMem_v2, (size_t * bytes, CUdevice device))                          \
    X(cuDeviceGetAttribute, cuDeviceGetAttribute, (int* value, CUdevice_attribute attribute, CUdevice device)) \
    X(cuDeviceComputeCapability, cuDeviceComputeCapability, (int* major, int* minor, CUdevice device))   \
    X(cuCtxCreate, cuCtxCreate_v2, (CUcontext * context, unsigned int flags, CUdevice device))           \
    X(cuCtxDestroy, cuCtxDestroy_v2, (CUcontext context))                                                \
    X(cuCtxPushCurrent, cuCtxPushCurrent_v2, (CUcontext context))                                        \
    X(cuCtxPopCurrent, cuCtxPopCurrent_v2, (CUcontext * context))                                        \
    X(cuCtxGetCurrent, cuCtxGetCurrent, (CUcontext * context))                                           \
    X(cuCtxSetCurrent, cuCtxSetCurrent, (CUcontext context))                                             \
    X(cuCtxGetDevice, cuCtxGetDevice, (CUdevice * device))                                               \
    X(cuCtxSynchronize, cuCtxSynchronize, (void))                                                        \
    X(cuCtxGetApiVersion, cuCtxGetApiVersion, (CUcontext context, unsigned int* version))                \
    X(cuMemAlloc, cuMemAlloc_v2, (CUdeviceptr * address, size_t bytes))                                  \
    X(cuMemAllocPitch, cuMemAllocPitch_v2,                                                               \
      (CUdeviceptr * address, size_t* pitch, size_t width_bytes, size_t height, unsigned int element_size)) \
    X(cuMemFree, cuMemFree_v2, (CUdeviceptr address))                                                    \
    X(cuMemGetInfo, cuMemGetInfo_v2, (size_t * free_bytes, size_t* total_bytes))                         \
    X(cuMemcpyHtoD, cuMemcpyHtoD_v2, (CUdeviceptr dst, const void* src, size_t bytes))                   \
    X(cuMemcpyDtoH, cuMemcpyDtoH_v2, (void* dst, CUdeviceptr src, size_t bytes))                         \
    X(cuMemcpy2D, cuMemcpy2D_v2, (const CUDA_MEMCPY2D* copy))                                            \
    X(cuMemHostAlloc, cuMemHostAlloc, (void** host, size_t bytes, unsigned int flags))                   \
    X(cuMemFreeHost, cuMemFreeHost, (void* host))                                                        \
    X(cuMemHostGetDevicePointer, cuMemHostGetDevicePointer_v2,                                           \
      (CUdeviceptr * address, void* host, unsigned int flags))                                           \
    X(cuModuleLoadData, cuModuleLoadData, (CUmodule * module, const void* image))                        \
    X(cuModuleUnload, cuModuleUnload, (CUmodule module))                                                 \
    X(cuModuleGetFunction, cuModuleGetFunction, (CUfunction * function, CUmodule module, const char* name)) \
    X(cuFuncGetAttribute, cuFuncGetAttribute, (int* value, CUfunction_attribute attribute, CUfunction function)) \
    X(cuLaunchKernel, cuLaunchKernel,                                                                    \
      (CUfunction function, unsigned int grid_x, unsigned int grid_y, unsigned int grid_z,               \
       unsigned int block_x, unsigned int block_y, unsigned int block_z, unsigned int shared_bytes,      \
       CUstream stream, void** params, void** extra))                                                    \
    X(cuGetErrorName, cuGetErrorName, (CUresult error, const char** name))                               \
    X(cuGetErrorString, cuGetErrorString, (CUresult error, const char** text))
