// The modules' thin C++ layer over the CUDA driver: the driver library opened at run time, and classes
// for the operations the encoder needs (devices, contexts, pitched allocations, page-locked host
// buffers, copies, memory information, kernel attributes and launches). Driver failures are thrown as
// exceptions of two families: MemoryError for CUDA_ERROR_OUT_OF_MEMORY, LogicError for every other code.
#pragma once

#include "cuda_driver_api.h"
#include "dynamic_library.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tevu::cuda {

// A failed driver call. what() reads "<operation> failed: <driver's description>", for example
// "cuMemAllocPitch failed: out of memory".
class Error : public std::runtime_error {
public:
    Error(CUresult code, std::string operation, const std::string& message);
    CUresult code() const noexcept { return code_; }
    const std::string& operation() const noexcept { return operation_; }

private:
    CUresult code_;
    std::string operation_;
};

// CUDA_ERROR_OUT_OF_MEMORY.
class MemoryError : public Error {
public:
    using Error::Error;
};

// Every other driver failure.
class LogicError : public Error {
public:
    using Error::Error;
};

// The driver's entry points, bound from one opened library. Shared by every object made through it,
// so the library stays loaded while any of them lives.
class Driver {
public:
    // Binds every entry point; LibraryError (the loader's text) when one is missing.
    explicit Driver(std::shared_ptr<DynamicLibrary> library);

    // Opens the driver library under the platform's names (cuda_driver_library) and binds it;
    // LibraryError when either fails.
    static std::shared_ptr<const Driver> load();
    // Opens the library by this one name and binds it.
    static std::shared_ptr<const Driver> load(const std::string& library_name);

    const DynamicLibrary& library() const noexcept { return *library_; }

    // cuInit.
    void init(unsigned int flags = 0) const;
    // cuDriverGetVersion.
    int version() const;

    // Throws the family's exception for a result other than CUDA_SUCCESS; `operation` is the public
    // entry point name without its ABI suffix ("cuMemAllocPitch").
    void check(CUresult result, const char* operation) const;
    // The driver's description of a result ("out of memory"), or "unknown error code <n>".
    std::string describe(CUresult result) const;
    // The driver's name of a result ("CUDA_ERROR_OUT_OF_MEMORY"), or the number as text.
    std::string error_name(CUresult result) const;

#define TEVU_CUDA_ENTRY_POINTER(name, symbol, params) CUresult(TEVU_CUDAAPI* name) params = nullptr;
    TEVU_CUDA_DRIVER_ENTRY_POINTS(TEVU_CUDA_ENTRY_POINTER)
#undef TEVU_CUDA_ENTRY_POINTER

private:
    std::shared_ptr<DynamicLibrary> library_;
};

using DriverPtr = std::shared_ptr<const Driver>;

class Context;

// A device, from its raw handle (the host's device objects carry it as `.handle`).
class Device {
public:
    Device(DriverPtr driver, CUdevice handle) noexcept : driver_(std::move(driver)), handle_(handle) {}

    static int count(const DriverPtr& driver);           // cuDeviceGetCount
    static Device get(DriverPtr driver, int ordinal);  // cuDeviceGet

    CUdevice handle() const noexcept { return handle_; }
    std::string name() const;
    std::string pci_bus_id() const;
    std::size_t total_memory() const;
    int get_attribute(CUdevice_attribute attribute) const;
    std::pair<int, int> compute_capability() const;  // (major, minor)

    // A new context on this device, current on the calling thread.
    Context make_context(unsigned int flags = CU_CTX_SCHED_AUTO | CU_CTX_MAP_HOST) const;

    const DriverPtr& driver() const noexcept { return driver_; }

private:
    DriverPtr driver_;
    CUdevice handle_;
};

// Owns a context; destroys it (detach) explicitly or at destruction.
class Context {
public:
    Context() noexcept = default;
    Context(DriverPtr driver, CUcontext owned) noexcept : driver_(std::move(driver)), handle_(owned) {}
    Context(Context&& other) noexcept;
    Context& operator=(Context&& other) noexcept;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context();  // detaches when still attached; failures are ignored

    // Makes it current on the calling thread (on top of the thread's context stack).
    void push() const;
    // Pops it from the calling thread's stack; LogicError (CUDA_ERROR_INVALID_CONTEXT) when it is not
    // the current context there.
    void pop() const;
    // Destroys it (also popping it when it is current on this thread); afterwards the object is empty.
    // When the driver refuses, the object keeps the context, so that a later call can try again.
    void detach();
    unsigned int get_api_version() const;

    CUcontext handle() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

    // The calling thread's current context (cuCtxGetCurrent), null when none.
    static CUcontext current(const Driver& driver);

private:
    DriverPtr driver_;
    CUcontext handle_ = nullptr;
};

// Pushes a context for the lifetime of the scope and pops it at the end, also on failure.
class ContextScope {
public:
    explicit ContextScope(const Context& context);
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
    ~ContextScope();

private:
    const Context& context_;
};

// Owns a device allocation made in the context current at its creation; freeing makes that context
// current for the call when another one is.
class DeviceAllocation {
public:
    DeviceAllocation() noexcept = default;
    DeviceAllocation(DriverPtr driver, CUdeviceptr address, CUcontext owner) noexcept
        : driver_(std::move(driver)), address_(address), owner_(owner) {}
    DeviceAllocation(DeviceAllocation&& other) noexcept;
    DeviceAllocation& operator=(DeviceAllocation&& other) noexcept;
    DeviceAllocation(const DeviceAllocation&) = delete;
    DeviceAllocation& operator=(const DeviceAllocation&) = delete;
    ~DeviceAllocation();  // frees when still held; failures are ignored

    // The device address (the allocation's integer value).
    CUdeviceptr address() const noexcept { return address_; }
    explicit operator bool() const noexcept { return address_ != 0; }
    // Frees it now; afterwards the object is empty. Nothing happens when it is empty. When the driver
    // refuses, the object keeps the allocation, so that a later call can try again.
    void free();
    // Drops the allocation without a call: its context was destroyed, and took the memory with it.
    void forget() noexcept { address_ = 0, owner_ = nullptr; }

private:
    DriverPtr driver_;
    CUdeviceptr address_ = 0;
    CUcontext owner_ = nullptr;
};

struct PitchedAllocation {
    DeviceAllocation allocation;
    std::size_t pitch = 0;  // bytes per row
};

// cuMemAllocPitch: `rows` rows of at least `row_bytes` bytes, accessed in elements of `access_size`
// bytes (4, 8 or 16).
PitchedAllocation mem_alloc_pitch(const DriverPtr& driver, std::size_t row_bytes, std::size_t rows,
                                  unsigned int access_size);
// cuMemAlloc.
DeviceAllocation mem_alloc(const DriverPtr& driver, std::size_t bytes);

// Owns page-locked host memory (cuMemHostAlloc / cuMemFreeHost).
class PagelockedBuffer {
public:
    PagelockedBuffer() noexcept = default;
    PagelockedBuffer(DriverPtr driver, void* data, std::size_t size, CUcontext owner) noexcept
        : driver_(std::move(driver)), data_(static_cast<std::uint8_t*>(data)), size_(size), owner_(owner) {}
    PagelockedBuffer(PagelockedBuffer&& other) noexcept;
    PagelockedBuffer& operator=(PagelockedBuffer&& other) noexcept;
    PagelockedBuffer(const PagelockedBuffer&) = delete;
    PagelockedBuffer& operator=(const PagelockedBuffer&) = delete;
    ~PagelockedBuffer();  // frees when still held; failures are ignored

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }
    // Frees it now; a refused free keeps the buffer for another try, as DeviceAllocation::free does.
    void free();
    // Drops the buffer without a call: its context was destroyed, and took the memory with it.
    void forget() noexcept { data_ = nullptr, size_ = 0, owner_ = nullptr; }

private:
    DriverPtr driver_;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    CUcontext owner_ = nullptr;
};

// Zero-filled page-locked host memory of `bytes` bytes (cuMemHostAlloc with `flags`).
PagelockedBuffer pagelocked_zeros(const DriverPtr& driver, std::size_t bytes, unsigned int flags = 0);

void memcpy_htod(const Driver& driver, CUdeviceptr dst, const void* src, std::size_t bytes);
void memcpy_dtoh(const Driver& driver, void* dst, CUdeviceptr src, std::size_t bytes);
struct MemoryInfo {
    std::size_t free = 0;
    std::size_t total = 0;
};
// cuMemGetInfo for the current context.
MemoryInfo mem_get_info(const Driver& driver);
// cuCtxSynchronize.
void synchronize(const Driver& driver);

struct Dim3 {
    unsigned int x = 1, y = 1, z = 1;
};

// A kernel's argument list in order, as cuLaunchKernel takes it (one pointer per argument).
class KernelArguments {
public:
    KernelArguments& pointer(CUdeviceptr value);
    KernelArguments& int32(std::int32_t value);
    std::size_t size() const noexcept { return slots_.size(); }
    // Valid until the next argument is added or the object goes.
    void** params() noexcept { return pointers_.data(); }

private:
    template <class T>
    KernelArguments& add(T value);

    std::vector<std::uint64_t> slots_;
    std::vector<void*> pointers_;
};

// A kernel, from its raw handle (the host's kernel objects carry it as `.handle`). The module that
// holds it must stay loaded while it is used.
class Function {
public:
    Function(DriverPtr driver, CUfunction handle) noexcept : driver_(std::move(driver)), handle_(handle) {}

    CUfunction handle() const noexcept { return handle_; }
    int get_attribute(CUfunction_attribute attribute) const;
    // cuLaunchKernel on the default stream.
    void launch(Dim3 grid, Dim3 block, KernelArguments& arguments, unsigned int shared_bytes = 0) const;

private:
    DriverPtr driver_;
    CUfunction handle_;
};

// Owns a module loaded into the current context (cuModuleLoadData / cuModuleUnload).
class Module {
public:
    // `image` is PTX text (NUL-terminated) or another image the driver accepts.
    static Module load_data(DriverPtr driver, const void* image);

    Module(Module&& other) noexcept;
    Module& operator=(Module&& other) noexcept;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module();

    Function get_function(const char* name) const;
    CUmodule handle() const noexcept { return handle_; }
    // Unloads it now; a refused unload keeps the module for another try.
    void unload();

private:
    Module(DriverPtr driver, CUmodule handle, CUcontext owner) noexcept
        : driver_(std::move(driver)), handle_(handle), owner_(owner) {}

    DriverPtr driver_;
    CUmodule handle_ = nullptr;
    CUcontext owner_ = nullptr;
};

}  // namespace tevu::cuda
