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
    const std::string& name = options.cuda_library;
    const auto opened = open_for_step(report, step_driver, "NVIDIA driver", name, options.stand_ins);
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
    if (init == cuda_error_stub_library || init == CUDA_ERROR_NO_DEVICE) {
        report.skip(step_driver, "no NVIDIA driver: " + found.path + ": cuInit returned " + driver.error_name(init) +
                                     " (" + driver.describe(init) + ")");
        return std::nullopt;
    }
    try {
        driver.check(init, "cuInit");
        std::string text = name + " is " + found.path + (found.stand_in ? " (stand-in)" : "");
        const std::string version = found.stand_in ? "" : nvidia_driver_version(found.path);
        if (!version.empty()) text += ", driver " + version;
        text += ", CUDA " + cuda_version_text(driver.version());
        report.ok(step_driver, text);
        const int count = cuda::Device::count(result.driver);
        for (int i = 0; i < count; ++i) {
            result.devices.push_back(cuda::Device::get(result.driver, i));
            report.info(step_driver, device_line(result.devices.back(), i));
        }
    } catch (const cuda::Error& e) {
        report.fail(step_driver, found.path + ": " + e.what());
        return std::nullopt;
    }
    if (result.devices.empty()) {
        report.skip(step_driver, "the driver sees no CUDA device");
        return std::nullopt;
    }
    return result;
}

}  // namespace tevu::gpu_check
