#include "cuda_client.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace nvenc_test {
namespace {

template <typename Fn>
void bind(void* library, Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(dlsym(library, name));
    if (!fn)
        throw CudaError(std::string("the CUDA driver has no ") + name);
}

CudaDriver open_driver() {
#if defined(_WIN32)
    const char* name = "nvcuda.dll";
#else
    const char* name = "libcuda.so";
#endif
    void* library = dlopen(name, RTLD_NOW);  // kept open: the driver lives as long as the process
    if (!library)
        throw CudaError(std::string("cannot load ") + name + ": " + dlerror());
    CudaDriver d{};
    bind(library, d.cuInit, "cuInit");
    bind(library, d.cuDeviceGet, "cuDeviceGet");
    bind(library, d.cuCtxCreate_v2, "cuCtxCreate_v2");
    bind(library, d.cuCtxDestroy_v2, "cuCtxDestroy_v2");
    bind(library, d.cuCtxPushCurrent_v2, "cuCtxPushCurrent_v2");
    bind(library, d.cuCtxPopCurrent_v2, "cuCtxPopCurrent_v2");
    bind(library, d.cuMemAllocPitch_v2, "cuMemAllocPitch_v2");
    bind(library, d.cuMemFree_v2, "cuMemFree_v2");
    bind(library, d.cuMemcpyHtoD_v2, "cuMemcpyHtoD_v2");
    bind(library, d.cuMemcpyDtoH_v2, "cuMemcpyDtoH_v2");
    bind(library, d.cuModuleLoadData, "cuModuleLoadData");
    bind(library, d.cuModuleUnload, "cuModuleUnload");
    bind(library, d.cuModuleGetFunction, "cuModuleGetFunction");
    bind(library, d.cuLaunchKernel, "cuLaunchKernel");
    check(d.cuInit(0), "cuInit");
    return d;
}

constexpr unsigned kSchedAuto = 0x0;
constexpr unsigned kMapHost = 0x8;

}  // namespace

const CudaDriver& cuda() {
    static const CudaDriver driver = open_driver();
    return driver;
}

void check(CuResult result, const char* what) {
    if (result != 0)
        throw CudaError(std::string(what) + " returned " + std::to_string(result));
}

CudaContext::CudaContext(int device) {
    int handle = 0;
    check(cuda().cuDeviceGet(&handle, device), "cuDeviceGet");
    check(cuda().cuCtxCreate_v2(&context_, kSchedAuto | kMapHost, handle), "cuCtxCreate_v2");
    void* popped = nullptr;
    check(cuda().cuCtxPopCurrent_v2(&popped), "cuCtxPopCurrent_v2");
}

CudaContext::~CudaContext() { cuda().cuCtxDestroy_v2(context_); }

CurrentContext::CurrentContext(const CudaContext& context) {
    check(cuda().cuCtxPushCurrent_v2(context.handle()), "cuCtxPushCurrent_v2");
}

CurrentContext::~CurrentContext() {
    void* popped = nullptr;
    cuda().cuCtxPopCurrent_v2(&popped);
}

PitchedBuffer::PitchedBuffer(size_t row_bytes, size_t rows) : rows_(rows) {
    check(cuda().cuMemAllocPitch_v2(&address_, &pitch_, row_bytes, rows, 16), "cuMemAllocPitch_v2");
}

PitchedBuffer::~PitchedBuffer() { cuda().cuMemFree_v2(address_); }

ConversionKernels::ConversionKernels(const std::string& ptx_path) {
    std::ifstream in(ptx_path, std::ios::binary);
    if (!in)
        throw CudaError("cannot read " + ptx_path);
    std::string ptx((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    check(cuda().cuModuleLoadData(&module_, ptx.c_str()), "cuModuleLoadData");
    try {
        check(cuda().cuModuleGetFunction(&nv12_, module_, "BGRA_to_NV12"), "cuModuleGetFunction(BGRA_to_NV12)");
        check(cuda().cuModuleGetFunction(&yuv444_, module_, "BGRA_to_YUV444"), "cuModuleGetFunction(BGRA_to_YUV444)");
    } catch (...) {
        cuda().cuModuleUnload(module_);
        throw;
    }
}

ConversionKernels::~ConversionKernels() { cuda().cuModuleUnload(module_); }

void ConversionKernels::convert(bool yuv444, const PitchedBuffer& in, int in_w, int in_h, int in_pitch,
                                const PitchedBuffer& out, int out_w, int out_h, int w, int h) const {
    const unsigned span = yuv444 ? 16 : 32;  // source pixels one 16x16 block covers
    unsigned grid_w = std::max(1u, unsigned(w) / span), grid_h = std::max(1u, unsigned(h) / span);
    if (grid_w * span < unsigned(w))
        ++grid_w;
    if (grid_h * span < unsigned(h))
        ++grid_h;
    CuDevicePtr src = in.address(), dst = out.address();
    int out_pitch = static_cast<int>(out.pitch());
    void* args[] = {&src, &in_w, &in_h, &in_pitch, &dst, &out_w, &out_h, &out_pitch, &w, &h};
    check(cuda().cuLaunchKernel(yuv444 ? yuv444_ : nv12_, grid_w, grid_h, 1, 16, 16, 1, 0, nullptr, args, nullptr),
          "cuLaunchKernel");
}

std::string kernels_ptx_path() {
    const char* build = std::getenv("TEVU_TEST_BUILD_DIR");
    return std::string(build ? build : TEVU_BUILD_DIR) + "/python/tevu/codecs/cuda_common/kernels.ptx";
}

}  // namespace nvenc_test
