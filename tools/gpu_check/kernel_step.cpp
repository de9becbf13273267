#include "kernel_step.h"

#include "cpu_kernels.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace tevu::gpu_check {

namespace {

const KernelCase kernel_cases[] = {
    {"BGRA_to_NV12", 1920, 1080, 1920, 1088, 1920, 1088, false},  // full HD, rows padded to 32
    {"BGRA_to_NV12", 301, 199, 301, 199, 301, 199, false},        // odd width and height
    {"BGRA_to_NV12", 301, 199, 320, 224, 320, 224, false},        // picture smaller than its source
    {"BGRA_to_NV12", 1000, 562, 1000, 562, 667, 375, false},      // scaled down to odd sizes
    {"BGRA_to_NV12", 97, 61, 97, 61, 160, 96, true},              // scaled up, one block
    {"BGRA_to_NV12", 3, 3, 3, 3, 3, 3, false},                    // smaller than one NV12 block row pair
    {"BGRA_to_YUV444", 333, 111, 333, 111, 333, 111, false},
    {"BGRA_to_YUV444", 301, 199, 320, 224, 320, 224, false},
    {"BGRA_to_YUV444", 640, 360, 640, 360, 448, 256, false},      // two thirds
    {"BGRA_to_YUV444", 50, 30, 50, 30, 123, 77, true},
    {"BGRA_to_YUV444", 1, 1, 1, 1, 1, 1, false},
};

constexpr std::uint8_t untouched = 0xA5;  // what the output holds before the launch

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Pseudo-random BGRX bytes with flat patches, `pitch` bytes per row.
std::vector<std::uint8_t> test_picture(int pitch, int rows, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(pitch) * rows);
    std::uint32_t state = seed;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        state = state * 1103515245u + 12345u;
        const bool flat = (i / 64) % 5 == 0;
        bytes[i] = flat ? static_cast<std::uint8_t>(i % 4 * 60) : static_cast<std::uint8_t>(state >> 23);
    }
    return bytes;
}

bool nv12(const KernelCase& c) { return std::string(c.kernel) == "BGRA_to_NV12"; }

cuda::Dim3 grid_for(const KernelCase& c) {
    if (c.one_block) return {1, 1, 1};
    const unsigned int span = nv12(c) ? 32 : 16;
    return {(c.dst_w + span - 1) / span, (c.dst_h + span - 1) / span, 1};
}

std::string describe(const KernelCase& c, int device) {
    std::ostringstream text;
    text << "device " << device << " " << c.kernel << " " << c.image_w << "x" << c.image_h;
    if (c.src_w != c.image_w || c.src_h != c.image_h) text << " in " << c.src_w << "x" << c.src_h;
    text << " -> " << c.dst_w << "x" << c.dst_h;
    const cuda::Dim3 grid = grid_for(c);
    text << " (grid " << grid.x << "x" << grid.y << ")";
    return text.str();
}

// "<n> of <total> bytes differ, first at row r column x (device 0x.., CPU 0x..)", or empty when equal.
std::string difference(const std::vector<std::uint8_t>& device, const std::vector<std::uint8_t>& cpu, std::size_t pitch) {
    std::size_t count = 0, first = 0;
    for (std::size_t i = 0; i < device.size(); ++i)
        if (device[i] != cpu[i] && count++ == 0) first = i;
    if (count == 0) return "";
    std::ostringstream text;
    text << count << " of " << device.size() << " bytes differ, first at row " << first / pitch << " column "
         << first % pitch << std::hex << " (device 0x" << int(device[first]) << ", CPU 0x" << int(cpu[first]) << ")";
    return text.str();
}

// Runs one case in the current context; returns the mismatch text (empty when identical).
std::string run_case(const cuda::DriverPtr& driver, const cuda::Module& module, const KernelCase& c, std::uint32_t seed) {
    const int src_pitch = 4 * c.src_w + 12;
    const std::vector<std::uint8_t> picture = test_picture(src_pitch, c.src_h, seed);
    cuda::DeviceAllocation source = cuda::mem_alloc(driver, picture.size());
    cuda::memcpy_htod(*driver, source.address(), picture.data(), picture.size());

    const int rows = nv12(c) ? c.dst_h + c.dst_h / 2 : 3 * c.dst_h;
    cuda::PitchedAllocation output = cuda::mem_alloc_pitch(driver, c.dst_w, rows, 16);
    const std::vector<std::uint8_t> blank(output.pitch * rows, untouched);
    cuda::memcpy_htod(*driver, output.allocation.address(), blank.data(), blank.size());

    cuda::KernelArguments args;
    args.pointer(source.address()).int32(c.src_w).int32(c.src_h).int32(src_pitch);
    args.pointer(output.allocation.address()).int32(c.dst_w).int32(c.dst_h).int32(static_cast<int>(output.pitch));
    args.int32(c.image_w).int32(c.image_h);
    module.get_function(c.kernel).launch(grid_for(c), cuda::Dim3{16, 16, 1}, args);
    cuda::synchronize(*driver);
    std::vector<std::uint8_t> launched(blank.size());
    cuda::memcpy_dtoh(*driver, launched.data(), output.allocation.address(), launched.size());

    std::vector<std::uint8_t> expected = blank;
    const standin::cuda::ConversionArgs direct{picture.data(), c.src_w, c.src_h, src_pitch, expected.data(), c.dst_w,
                                               c.dst_h, static_cast<int>(output.pitch), c.image_w, c.image_h};
    standin::cuda::find_cpu_kernel(c.kernel)->run(direct);
    return difference(launched, expected, output.pitch);
}

}  // namespace

bool is_real_ptx(const std::string& image) { return image.find(".target") != std::string::npos; }

bool check_kernels(Report& report, const DriverFound& found, const std::string& image_path) {
    const std::string image = read_file(image_path);
    if (image.empty()) {
        report.fail(step_kernels, "no kernel image at " + image_path);
        return false;
    }
    if (!is_real_ptx(image) && !found.stand_in) {
        report.skip(step_kernels, image_path + " holds only the kernels' entry names (the build had no nvcc); "
                                               "a real driver cannot load it");
        return false;
    }
    const int failures_before = report.failures();
    for (std::size_t d = 0; d < found.devices.size(); ++d) {
        const int device = static_cast<int>(d);
        try {
            cuda::Context context = found.devices[d].make_context();
            cuda::Module module = cuda::Module::load_data(found.driver, image.c_str());
            report.ok(step_kernels, "device " + std::to_string(device) + ": loaded " + image_path);
            std::uint32_t seed = 7;
            for (const KernelCase& c : kernel_cases) {
                try {
                    const std::string mismatch = run_case(found.driver, module, c, ++seed);
                    if (mismatch.empty())
                        report.ok(step_kernels, describe(c, device) + ": identical to the CPU version");
                    else
                        report.fail(step_kernels, describe(c, device) + ": " + mismatch);
                } catch (const cuda::Error& e) {
                    report.fail(step_kernels, describe(c, device) + ": " + e.what());
                }
            }
        } catch (const cuda::Error& e) {
            report.fail(step_kernels, "device " + std::to_string(device) + ": " + e.what());
        }
    }
    return report.failures() == failures_before;
}

}  // namespace tevu::gpu_check
