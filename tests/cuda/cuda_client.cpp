// A client of the CUDA driver library for the tests: runs one scenario through the layer and prints
// what it saw, so that the tests can check the stand-in's environment variables and leak report.
//   tevu_cuda_client devices     prints "<count>" then one "<name>|<bus id>" line per device
//   tevu_cuda_client clean       creates and releases a context with memory and a module
//   tevu_cuda_client leak        creates the same and releases nothing
//   tevu_cuda_client with-context  releases only the context, which takes the rest with it
#include "cuda_layer.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace tevu::cuda;

namespace {

const char listing[] = ".entry BGRA_to_NV12\n";

struct Resources {
    Context context;
    PitchedAllocation device;
    PagelockedBuffer host;
    Module module;
};

Resources make_resources(const DriverPtr& driver) {
    Context context = Device::get(driver, 0).make_context();
    PitchedAllocation device = mem_alloc_pitch(driver, 100, 10, 16);
    PagelockedBuffer host = pagelocked_zeros(driver, 4096);
    Module module = Module::load_data(driver, listing);
    return Resources{std::move(context), std::move(device), std::move(host), std::move(module)};
}

int run(const std::string& scenario) {
    DriverPtr driver = Driver::load();
    driver->init();
    if (scenario == "devices") {
        int count = Device::count(driver);
        std::printf("%d\n", count);
        for (int i = 0; i < count; ++i) {
            Device device = Device::get(driver, i);
            std::printf("%s|%s\n", device.name().c_str(), device.pci_bus_id().c_str());
        }
        return 0;
    }
    Resources r = make_resources(driver);
    if (scenario == "clean") {
        r.module.unload();
        r.host.free();
        r.device.allocation.free();
        r.context.pop();
        r.context.detach();
        return 0;
    }
    if (scenario == "leak" || scenario == "with-context") {
        // Held to the end of the process (reachable, never released) so that the report sees them.
        static Resources* kept = new Resources(std::move(r));
        if (scenario == "with-context") kept->context.detach();
        return 0;
    }
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s devices|clean|leak|with-context\n", argv[0]);
        return 2;
    }
    try {
        return run(argv[1]);
    } catch (const std::exception& e) {
        std::printf("error: %s\n", e.what());
        return 1;
    }
}
