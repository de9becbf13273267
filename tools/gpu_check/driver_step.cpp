#include "driver_step.h"

#include "platform_library.h"

#include <sstream>

namespace tevu::gpu_check {

namespace {

// CUDA_ERROR_STUB_LIBRARY: the toolkit's link-time stub answered instead of a driver.
constexpr CUresult cuda_error_stub_library = 34;

std::string cuda_version_text(int version) {
    return std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10);
}

std::string device_line(const cuda::Device& device, int ordinal) {
    const auto [major, minor] = device.compute_capability();
    std::ostringstream text;
    text << "device " << ordinal << ": " << device.name() << ", compute " << major << "." << minor << ", "
         << device.total_memory() / (1024 * 1024) << " MiB, PCI " << device.pci_bus_id();
    return text.str();
}

}  // namespace

std::optional<DriverFound> check_driver(Report& report, const Options& options) {
    const cuda::LibraryNames names =
        names_to_check(options.cuda_library, cuda::cuda_driver_library(cuda::native_windows));
    const auto opened = open_for_step(report, step_driver, "NVIDIA driver", names, options.stand_ins);
    if (!opened) return std::nullopt;
    const PlatformLibrary& found = *opened;
    DriverFound result;
    result.stand_in = found.stand_in;
    try {
        result.driver = std::make_shared<const cuda::Driver>(found.library);
    } catch (const cuda::LibraryError& e) {
        report.fail(step_driver, found.path + " lacks an entry point the modules use: " + e.what());
        return std::nullopt;
    }
    const cuda::Driver& driver = *result.driver;
    const CUresult init = driver.cuInit(0);
    const std::string init_text = "cuInit returned " + driver.error_name(init) + " (" + driver.describe(init) + ")";
    if (init == cuda_error_stub_library) {
        report.skip(step_driver, "no NVIDIA driver: " + found.path + ": " + init_text);
        return std::nullopt;
    }
    try {
        if (init != CUDA_ERROR_NO_DEVICE) driver.check(init, "cuInit");
        std::string text = found.name() + " is " + found.path + (found.stand_in ? " (stand-in)" : "");
        const std::string version = found.stand_in ? "" : nvidia_driver_version(found.path);
        if (!version.empty()) text += ", driver " + version;
        text += ", CUDA " + cuda_version_text(driver.version());
        report.ok(step_driver, text);
        if (init == CUDA_ERROR_NO_DEVICE) {
            // The driver's libraries are there without a GPU (or without access to one): the NVENC
            // library can still be checked, the devices cannot.
            report.skip(step_driver, "no NVIDIA device: " + init_text);
            return result;
        }
        const int count = cuda::Device::count(result.driver);
        for (int i = 0; i < count; ++i) {
            result.devices.push_back(cuda::Device::get(result.driver, i));
            report.info(step_driver, device_line(result.devices.back(), i));
        }
    } catch (const cuda::Error& e) {
        report.fail(step_driver, found.path + ": " + e.what());
        return std::nullopt;
    }
    if (result.devices.empty()) report.skip(step_driver, "the driver sees no CUDA device");
    return result;
}

}  // namespace tevu::gpu_check
