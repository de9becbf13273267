// A CUDA driver client for the tests: the driver library opened at run time by name ("libcuda.so",
// on Windows "nvcuda.dll"),
// with owning wrappers for contexts, pitched allocations and modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "cuda_driver_api.h"

namespace nvenc_test {

using CuResult = CUresult;
using CuDevicePtr = CUdeviceptr;

class CudaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CudaDriver {
    CuResult(TEVU_CUDAAPI* cuInit)(unsigned);
    CuResult(TEVU_CUDAAPI* cuDeviceGet)(int*, int);
    CuResult(TEVU_CUDAAPI* cuCtxCreate_v2)(void**, unsigned, int);
    CuResult(TEVU_CUDAAPI* cuCtxDestroy_v2)(void*);
    CuResult(TEVU_CUDAAPI* cuCtxPushCurrent_v2)(void*);
    CuResult(TEVU_CUDAAPI* cuCtxPopCurrent_v2)(void**);
    CuResult(TEVU_CUDAAPI* cuMemAllocPitch_v2)(CuDevicePtr*, size_t*, size_t, size_t, unsigned);
    CuResult(TEVU_CUDAAPI* cuMemFree_v2)(CuDevicePtr);
    CuResult(TEVU_CUDAAPI* cuMemcpyHtoD_v2)(CuDevicePtr, const void*, size_t);
    CuResult(TEVU_CUDAAPI* cuMemcpyDtoH_v2)(void*, CuDevicePtr, size_t);
    CuResult(TEVU_CUDAAPI* cuModuleLoadData)(void**, const void*);
    CuResult(TEVU_CUDAAPI* cuModuleUnload)(void*);
    CuResult(TEVU_CUDAAPI* cuModuleGetFunction)(void**, void*, const char*);
    CuResult(TEVU_CUDAAPI* cuLaunchKernel)(void*, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, void*,
                               void**, void**);
};

// The process's driver (opened once, kept for the life of the process); throws CudaError.
const CudaDriver& cuda();
void check(CuResult result, const char* what);

// A context on a device, current on the creating thread until popped.
class CudaContext {
public:
    explicit CudaContext(int device = 0);
    ~CudaContext();
    CudaContext(const CudaContext&) = delete;
    CudaContext& operator=(const CudaContext&) = delete;
    void* handle() const { return context_; }

private:
    void* context_ = nullptr;
};

// Makes a context current for the scope.
class CurrentContext {
public:
    explicit CurrentContext(const CudaContext& context);
    ~CurrentContext();
    CurrentContext(const CurrentContext&) = delete;
    CurrentContext& operator=(const CurrentContext&) = delete;
};

class PitchedBuffer {
public:
    PitchedBuffer(size_t row_bytes, size_t rows);
    ~PitchedBuffer();
    PitchedBuffer(const PitchedBuffer&) = delete;
    PitchedBuffer& operator=(const PitchedBuffer&) = delete;
    CuDevicePtr address() const { return address_; }
    size_t pitch() const { return pitch_; }
    size_t bytes() const { return pitch_ * rows_; }

private:
    CuDevicePtr address_ = 0;
    size_t pitch_ = 0;
    size_t rows_ = 0;
};

// The colour-conversion kernels loaded from their PTX file.
class ConversionKernels {
public:
    explicit ConversionKernels(const std::string& ptx_path);
    ~ConversionKernels();
    ConversionKernels(const ConversionKernels&) = delete;
    ConversionKernels& operator=(const ConversionKernels&) = delete;
    // Converts BGRX (in_w x in_h, `in_pitch` bytes a row) into NV12 or YUV444 planes with the launch
    // geometry the encoder modules use.
    void convert(bool yuv444, const PitchedBuffer& in, int in_w, int in_h, int in_pitch, const PitchedBuffer& out,
                 int out_w, int out_h, int w, int h) const;

private:
    void* module_ = nullptr;
    void* nv12_ = nullptr;
    void* yuv444_ = nullptr;
};

// The PTX file of the kernels in the build tree.
std::string kernels_ptx_path();

}  // namespace nvenc_test
