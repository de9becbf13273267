#include "device_memory.h"

#include <dlfcn.h>

#include "cuda_driver_api.h"

namespace tevu::standin::nvenc {
namespace {

using CuResult = CUresult;
using CuContext = void*;
using CuDevicePtr = CUdeviceptr;  // pointer-sized: 4 bytes on 32-bit targets

#if defined(_WIN32)
constexpr char kCudaLibrary[] = "nvcuda.dll";
#else
constexpr char kCudaLibrary[] = "libcuda.so.1";  // the soname: every driver installation has it
#endif

struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using Library = std::unique_ptr<void, LibraryCloser>;


class CudaDriver : public DeviceMemory {
public:
    static std::unique_ptr<DeviceMemory> open() {
        Library library(dlopen(kCudaLibrary, RTLD_NOW | RTLD_LOCAL));
        if (!library)
            return nullptr;
        std::unique_ptr<CudaDriver> driver(new CudaDriver(std::move(library)));
        if (!driver->push_ || !driver->pop_ || !driver->get_device_ || !driver->copy_)
            return nullptr;
        return driver;
    }

    std::optional<int> device_of(void* context) override {
        if (!context || push_(context) != 0)
            return std::nullopt;
        int device = -1;
        const CuResult r = get_device_(&device);
        pop_current();
        if (r != 0)
            return std::nullopt;
        return device;
    }

    bool copy_to_host(void* context, uint64_t device_address, size_t bytes, void* host) override {
        if (push_(context) != 0)
            return false;
        const CuResult r = copy_(host, static_cast<CuDevicePtr>(device_address), bytes);
        pop_current();
        return r == 0;
    }

private:
    explicit CudaDriver(Library library) : library_(std::move(library)) {
        bind(push_, "cuCtxPushCurrent_v2");
        bind(pop_, "cuCtxPopCurrent_v2");
        bind(get_device_, "cuCtxGetDevice");
        bind(copy_, "cuMemcpyDtoH_v2");
    }
    template <typename Fn>
    void bind(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(dlsym(library_.get(), name));
    }
    void pop_current() {
        CuContext popped = nullptr;
        pop_(&popped);
    }

    Library library_;
    CuResult(TEVU_CUDAAPI* push_)(CuContext) = nullptr;
    CuResult(TEVU_CUDAAPI* pop_)(CuContext*) = nullptr;
    CuResult(TEVU_CUDAAPI* get_device_)(int*) = nullptr;
    CuResult(TEVU_CUDAAPI* copy_)(void*, CuDevicePtr, size_t) = nullptr;
};

}  // namespace

std::unique_ptr<DeviceMemory> open_cuda_driver() { return CudaDriver::open(); }

}  // namespace tevu::standin::nvenc
