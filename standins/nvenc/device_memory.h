// Reading the client's device memory: through the CUDA driver library, loaded at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace tevu::standin::nvenc {

class DeviceMemory {
public:
    virtual ~DeviceMemory() = default;
    // The device number of a CUDA context; none when the context is not valid.
    virtual std::optional<int> device_of(void* context) = 0;
    // Copies bytes from a device address into host memory within the given context.
    virtual bool copy_to_host(void* context, uint64_t device_address, size_t bytes, void* host) = 0;
};

// The CUDA driver library by the name every driver installation has ("libcuda.so.1", on Windows
// "nvcuda.dll"), opened on first use; null when it cannot be loaded or lacks an entry point the stand-in
// needs.
std::unique_ptr<DeviceMemory> open_cuda_driver();

}  // namespace tevu::standin::nvenc
