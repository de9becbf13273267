// gpu-check: whether the encoder modules work with the NVIDIA driver of this machine. Each step reports
// one line per finding; the exit status is 0 when everything that could run passed (also when there is
// no driver), 1 when a check failed, 2 for a bad command line.
#include "build_tree.h"
#include "driver_step.h"
#include "encode_step.h"
#include "kernel_step.h"
#include "nvenc_step.h"
#include "options.h"
#include "report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

namespace {

using namespace tevu::gpu_check;

bool parse_size(const char* text, int& width, int& height) {
    char tail = 0;
    return std::sscanf(text, "%dx%d%c", &width, &height, &tail) == 2 && width > 0 && height > 0;
}

std::string environment_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--stand-ins") {
            o.stand_ins = true;
        } else if (a == "--frames" && has_value) {
            o.frames = std::atoi(argv[++i]);
            if (o.frames <= 0) return std::nullopt;
        } else if (a == "--size" && has_value) {
            if (!parse_size(argv[++i], o.width, o.height) || o.width % 32 || o.height % 32) return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    o.cuda_library = environment_or("TEVU_GPU_CHECK_CUDA_LIBRARY", "");
    o.nvenc_library = environment_or("TEVU_GPU_CHECK_NVENC_LIBRARY", "");
    return o;
}

int check(const Options& options, const BuildTree& tree) {
    Report report(std::cout);
    if (options.stand_ins) report.info(step_driver, "using the stand-ins in " + tree.platform);
    const auto driver = check_driver(report, options);
    if (driver) {
        const bool devices = !driver->devices.empty();
        if (!devices) report.skip(step_kernels, "no device to run them on");
        const bool kernels = devices && check_kernels(report, *driver, tree.kernels_image);
        const auto apis = check_nvenc(report, *driver, options);
        if (!devices)
            report.skip(step_encode, "no device to encode on");
        else if (apis.empty())
            report.skip(step_encode, "no encode session could be opened");
        else if (!kernels)
            report.skip(step_encode, "the kernels cannot run on this driver (step 2)");
        else
            check_encoding(report, tree, options, apis);
    }
    const int failures = report.failures();
    std::cout << (failures ? "gpu-check: " + std::to_string(failures) + " check(s) failed"
                           : std::string(driver ? "gpu-check: everything that could run passed"
                                                : "gpu-check: nothing to check on this machine"))
              << std::endl;
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--reference-yuv444") == 0) {
        int width = 0, height = 0;
        if (!parse_size(argv[2], width, height)) {
            std::cerr << usage_text;
            return 2;
        }
        return write_reference_yuv444(width, height);
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << usage_text;
        return 0;
    }
    const auto options = parse(argc, argv);
    if (!options) {
        std::cerr << usage_text << "(--frames takes a positive count, --size multiples of 32)\n";
        return 2;
    }
    try {
        const BuildTree tree = BuildTree::of_this_program();
        settle_library_path(tree, options->stand_ins, argv);
        return check(*options, tree);
    } catch (const std::exception& e) {
        std::cerr << "gpu-check: " << e.what() << "\n";
        return 1;
    }
}
