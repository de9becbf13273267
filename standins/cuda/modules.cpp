// Modules, functions and kernel launches: a module's image names its entry points, and the CPU version
// of each known kernel runs when it is launched.
#include "registry.h"
#include "module_image.h"

#include <cstring>
#include <mutex>

namespace tevu::standin::cuda {

namespace {

constexpr int kernel_registers = 32;
constexpr int kernel_ptx_version = 75;

// The launch geometry limits of the stand-in's devices.
bool geometry_valid(const LaunchGeometry& g) {
    for (unsigned int d : g.grid)
        if (d == 0) return false;
    for (unsigned int d : g.block)
        if (d == 0) return false;
    auto limit = [](CUdevice_attribute attribute) {
        return static_cast<unsigned long long>(*device_attribute_value(attribute, 0));
    };
    unsigned long long threads = 1ULL * g.block[0] * g.block[1] * g.block[2];
    return threads <= limit(CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK) &&
           g.block[0] <= limit(CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X) &&
           g.block[1] <= limit(CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y) &&
           g.block[2] <= limit(CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z) &&
           g.grid[0] <= limit(CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X) &&
           g.grid[1] <= limit(CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y) &&
           g.grid[2] <= limit(CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z) &&
           g.shared_bytes <= limit(CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK);
}

template <class T>
bool read_param(void** params, int index, T& value) {
    if (!params[index]) return false;
    std::memcpy(&value, params[index], sizeof value);
    return true;
}

// The conversion kernels' argument list: (src, src_w, src_h, src_pitch, dst, dst_w, dst_h, dst_pitch,
// image_w, image_h), pointers first in their slots, the numbers as 32-bit integers.
bool read_conversion_args(void** params, ConversionArgs& a) {
    CUdeviceptr src = 0, dst = 0;
    bool ok = read_param(params, 0, src) && read_param(params, 1, a.src_width) &&
              read_param(params, 2, a.src_height) && read_param(params, 3, a.src_pitch) &&
              read_param(params, 4, dst) && read_param(params, 5, a.dst_width) &&
              read_param(params, 6, a.dst_height) && read_param(params, 7, a.dst_pitch) &&
              read_param(params, 8, a.image_width) && read_param(params, 9, a.image_height);
    a.src = reinterpret_cast<const unsigned char*>(src);
    a.dst = reinterpret_cast<unsigned char*>(dst);
    return ok;
}

}  // namespace

CUresult Registry::module_load(CUmodule* module, const void* image) {
    if (!module || !image) return CUDA_ERROR_INVALID_VALUE;
    std::unique_lock lock(mutex_);
    CUcontext owner = nullptr;
    if (CUresult state = current_context(owner)) return state;
    std::vector<std::string> entries = entry_names(static_cast<const char*>(image));
    if (entries.empty()) return CUDA_ERROR_INVALID_IMAGE;
    CUmodule handle = new_handle<CUmodule>();
    modules_[handle] = LoadedModule{owner, std::move(entries), {}};
    *module = handle;
    return CUDA_SUCCESS;
}

void Registry::release_module(std::map<CUmodule, LoadedModule>::iterator it) {
    for (const auto& [name, function] : it->second.functions) functions_.erase(function);
    modules_.erase(it);
}

CUresult Registry::module_unload(CUmodule module) {
    std::unique_lock lock(mutex_);
    auto it = modules_.find(module);
    if (it == modules_.end()) return CUDA_ERROR_INVALID_HANDLE;
    release_module(it);
    return CUDA_SUCCESS;
}

CUresult Registry::module_function(CUfunction* function, CUmodule module, const char* name) {
    if (!function || !name) return CUDA_ERROR_INVALID_VALUE;
    std::unique_lock lock(mutex_);
    auto it = modules_.find(module);
    if (it == modules_.end()) return CUDA_ERROR_INVALID_HANDLE;
    LoadedModule& state = it->second;
    if (auto known = state.functions.find(name); known != state.functions.end()) {
        *function = known->second;
        return CUDA_SUCCESS;
    }
    bool listed = false;
    for (const std::string& entry : state.entries) listed = listed || entry == name;
    if (!listed) return CUDA_ERROR_NOT_FOUND;
    const CpuKernel* kernel = find_cpu_kernel(name);
    if (!kernel) return CUDA_ERROR_NOT_SUPPORTED;  // in the image, but the stand-in cannot run it
    CUfunction handle = new_handle<CUfunction>();
    functions_[handle] = FunctionState{state.owner, kernel};
    state.functions[name] = handle;
    *function = handle;
    return CUDA_SUCCESS;
}

CUresult Registry::function_attribute(int* value, CUfunction_attribute attribute, CUfunction function) const {
    if (!value) return CUDA_ERROR_INVALID_VALUE;
    std::shared_lock lock(mutex_);
    if (!functions_.count(function)) return CUDA_ERROR_INVALID_HANDLE;
    switch (attribute) {
    case CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK:
        *value = *device_attribute_value(CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK, 0);
        return CUDA_SUCCESS;
    case CU_FUNC_ATTRIBUTE_SHARED_SIZE_BYTES:
    case CU_FUNC_ATTRIBUTE_CONST_SIZE_BYTES:
    case CU_FUNC_ATTRIBUTE_LOCAL_SIZE_BYTES: *value = 0; return CUDA_SUCCESS;
    case CU_FUNC_ATTRIBUTE_NUM_REGS: *value = kernel_registers; return CUDA_SUCCESS;
    case CU_FUNC_ATTRIBUTE_PTX_VERSION: *value = kernel_ptx_version; return CUDA_SUCCESS;
    case CU_FUNC_ATTRIBUTE_BINARY_VERSION:
        *value = reported_compute_major * 10 + reported_compute_minor;
        return CUDA_SUCCESS;
    default: return CUDA_ERROR_INVALID_VALUE;
    }
}

CUresult Registry::launch(CUfunction function, const LaunchGeometry& geometry, CUstream stream, void** params,
                          void** extra) const {
    std::shared_lock lock(mutex_);
    CUcontext current = nullptr;
    if (CUresult state = current_context(current)) return state;
    auto it = functions_.find(function);
    if (it == functions_.end() || it->second.owner != current) return CUDA_ERROR_INVALID_HANDLE;
    if (stream) return CUDA_ERROR_INVALID_HANDLE;  // only the default stream exists here
    if (extra) return CUDA_ERROR_NOT_SUPPORTED;
    if (!params || !geometry_valid(geometry)) return CUDA_ERROR_INVALID_VALUE;
    ConversionArgs args{};
    if (!read_conversion_args(params, args) || !kernels::arguments_valid(args)) return CUDA_ERROR_INVALID_VALUE;
    const CpuKernel& kernel = *it->second.kernel;
    if (!device_range(reinterpret_cast<CUdeviceptr>(args.src), static_cast<std::size_t>(kernels::source_extent(args))) ||
        !device_range(reinterpret_cast<CUdeviceptr>(args.dst), static_cast<std::size_t>(kernel.output_extent(args))))
        return CUDA_ERROR_ILLEGAL_ADDRESS;
    kernel.run(args);  // under the shared lock, so the memory cannot be freed meanwhile
    return CUDA_SUCCESS;
}

}  // namespace tevu::standin::cuda
