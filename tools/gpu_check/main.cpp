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

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <variant>

namespace {

using namespace tevu::gpu_check;

// A whole decimal number, nothing before or after it.
bool parse_number(const std::string& text, int& value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

bool parse_size(const std::string& text, int& width, int& height) {
    const std::size_t x = text.find('x');
    return x != std::string::npos && parse_number(text.substr(0, x), width) &&
           parse_number(text.substr(x + 1), height) && width > 0 && height > 0;
}

std::string environment_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// The options, or the one line that says what is wrong with the command line.
std::variant<Options, std::string> parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool takes_value = a == "--frames" || a == "--size";
        if (takes_value && i + 1 >= argc) return a + " needs a value";
        const std::string value = takes_value ? argv[++i] : "";
        if (a == "--stand-ins") {
            o.stand_ins = true;
        } else if (a == "--frames") {
            if (!parse_number(value, o.frames) || o.frames <= 0)
                return "--frames: '" + value + "' is not a positive number";
        } else if (a == "--size") {
            if (!parse_size(value, o.width, o.height) || o.width % 32 || o.height % 32)
                return "--size: '" + value + "' is not WxH in multiples of 32";
        } else {
            return "unknown argument '" + a + "'";
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
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << usage_text;
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << "gpu-check " TEVU_VERSION "\n";
            return 0;
        }
    }
    if (argc > 1 && std::strcmp(argv[1], "--reference-yuv444") == 0) {
        int width = 0, height = 0;
        if (argc != 3 || !parse_size(argv[2], width, height)) {
            std::cerr << "gpu-check: --reference-yuv444 takes one WxH\n";
            return 2;
        }
        return write_reference_yuv444(width, height);
    }
    const auto parsed = parse(argc, argv);
    if (const auto* problem = std::get_if<std::string>(&parsed)) {
        std::cerr << "gpu-check: " << *problem << " (gpu-check --help shows the options)\n";
        return 2;
    }
    const auto options = std::get<Options>(parsed);
    try {
        const BuildTree tree = BuildTree::of_this_program();
        settle_library_path(tree, options.stand_ins, argv);
        return check(options, tree);
    } catch (const std::exception& e) {
        std::cerr << "gpu-check: " << e.what() << "\n";
        return 1;
    }
}
