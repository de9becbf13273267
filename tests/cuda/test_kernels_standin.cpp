// The kernels through the stand-in as the encoder runs them: the built image loaded with
// cuModuleLoadData, the functions looked up by name and launched with the encoder's argument list and
// geometry, the output read back and compared with the CPU versions run directly.
#include "cpu_kernels.h"
#include "kernel_reference.h"
#include "standin_fixture.h"

#include <fstream>
#include <sstream>

namespace tevu::cuda::testing {
namespace {

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The launch geometry the encoder uses: 16x16 blocks covering 32x32 (NV12) or 16x16 (YUV444) pixels.
Dim3 encoder_grid(unsigned int w, unsigned int h, unsigned int divisor) {
    unsigned int span = 16 * divisor;
    unsigned int gx = std::max(1u, w / span), gy = std::max(1u, h / span);
    if (gx * span < w) ++gx;
    if (gy * span < h) ++gy;
    return Dim3{gx, gy, 1};
}

struct Frame {
    const char* name;
    const char* kernel;
    int image_w, image_h;     // the host image
    int input_w, input_h;     // the rounded source size given to the kernel
    int encoder_w, encoder_h; // the output size
};

void PrintTo(const Frame& f, std::ostream* os) { *os << f.name; }

class KernelLaunch : public ContextTest, public ::testing::WithParamInterface<Frame> {
protected:
    void SetUp() override {
        ContextTest::SetUp();
        image = read_file(TEVU_KERNELS_IMAGE);
        ASSERT_FALSE(image.empty()) << "no kernel image at " << TEVU_KERNELS_IMAGE;
        module.emplace(Module::load_data(driver(), image.c_str()));
    }
    void TearDown() override {
        module.reset();
        ContextTest::TearDown();
    }

    std::string image;
    std::optional<Module> module;
};

TEST_P(KernelLaunch, WritesTheSameBytesAsTheCpuVersion) {
    const Frame& f = GetParam();
    const bool nv12 = std::string(f.kernel) == "BGRA_to_NV12";
    Function kernel = module->get_function(f.kernel);
    EXPECT_EQ(kernel.get_attribute(CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK), 1024);

    const int stride = 4 * f.image_w;
    Picture picture = synthetic_picture(f.image_w, f.image_h, stride, 11);
    PitchedAllocation input = mem_alloc_pitch(driver(), std::max(2560, f.input_w) * 4, f.input_h, 16);
    PagelockedBuffer staging = pagelocked_zeros(driver(), input.pitch * f.input_h);
    std::copy(picture.bytes.begin(), picture.bytes.end(), staging.data());
    memcpy_htod(api(), input.allocation.address(), staging.data(), staging.size());
    const int out_rows = nv12 ? f.encoder_h * 3 / 2 : f.encoder_h * 3;
    PitchedAllocation output = mem_alloc_pitch(driver(), f.encoder_w, out_rows, 16);

    KernelArguments args;
    args.pointer(input.allocation.address()).int32(f.input_w).int32(f.input_h).int32(stride);
    args.pointer(output.allocation.address()).int32(f.encoder_w).int32(f.encoder_h);
    args.int32(static_cast<std::int32_t>(output.pitch)).int32(f.image_w).int32(f.image_h);
    ASSERT_EQ(args.size(), 10u);
    kernel.launch(encoder_grid(f.image_w, f.image_h, nv12 ? 2 : 1), Dim3{16, 16, 1}, args);
    synchronize(api());

    std::vector<std::uint8_t> launched(output.pitch * out_rows);
    memcpy_dtoh(api(), launched.data(), output.allocation.address(), launched.size());

    std::vector<std::uint8_t> expected(launched.size(), 0xA5);  // the stand-in's fresh-memory bytes
    standin::cuda::ConversionArgs direct{staging.data(), f.input_w, f.input_h, stride, expected.data(), f.encoder_w,
                                         f.encoder_h, static_cast<int>(output.pitch), f.image_w, f.image_h};
    (nv12 ? standin::cuda::bgra_to_nv12 : standin::cuda::bgra_to_yuv444)(direct);
    EXPECT_EQ(launched, expected);
    // And the picture made it through: the first luma sample is the first pixel's.
    const std::uint8_t* p = picture.pixel(0, 0);
    EXPECT_NEAR(launched[0], bt601_limited(p[2], p[1], p[0]).y, 0.51);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, KernelLaunch,
    ::testing::Values(Frame{"nv12_full_hd", "BGRA_to_NV12", 1920, 1080, 1920, 1088, 1920, 1088},
                      Frame{"yuv444_odd_image", "BGRA_to_YUV444", 301, 199, 320, 224, 320, 224},
                      Frame{"nv12_tiny", "BGRA_to_NV12", 20, 20, 32, 32, 32, 32},
                      Frame{"nv12_scaled_two_thirds", "BGRA_to_NV12", 300, 200, 300, 200, 224, 160},
                      Frame{"yuv444_scaled", "BGRA_to_YUV444", 640, 360, 640, 360, 448, 256}),
    [](const auto& info) { return std::string(info.param.name); });

using KernelModules = ContextTest;

TEST_F(KernelModules, TheBuiltImageNamesBothKernels) {
    std::string image = read_file(TEVU_KERNELS_IMAGE);
    EXPECT_NE(image.find(".entry BGRA_to_NV12"), std::string::npos);
    EXPECT_NE(image.find(".entry BGRA_to_YUV444"), std::string::npos);
    Module module = Module::load_data(driver(), image.c_str());
    Function a = module.get_function("BGRA_to_NV12");
    Function b = module.get_function("BGRA_to_YUV444");
    EXPECT_NE(a.handle(), b.handle());
    EXPECT_EQ(module.get_function("BGRA_to_NV12").handle(), a.handle());
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_NOT_FOUND, module.get_function("BGRA_to_RGB"));
}

TEST_F(KernelModules, ImagesAreCheckedForEntries) {
    const struct {
        const char* name;
        const char* image;
        CUresult load, lookup;
    } cases[] = {
        {"entry listing", "// listing\n.entry BGRA_to_YUV444\n", CUDA_SUCCESS, CUDA_SUCCESS},
        {"ptx declaration", ".version 8.0\n.visible .entry BGRA_to_YUV444(\n.param .u64 p)\n{ ret; }\n",
         CUDA_SUCCESS, CUDA_SUCCESS},
        {"no entries", "just some text", CUDA_ERROR_INVALID_IMAGE, CUDA_SUCCESS},
        {"entry inside a word", "x.entry BGRA_to_YUV444", CUDA_ERROR_INVALID_IMAGE, CUDA_SUCCESS},
        {"other kernel", ".entry other_kernel\n", CUDA_SUCCESS, CUDA_ERROR_NOT_FOUND},
        {"kernel the stand-in cannot run", ".entry BGRA_to_YUV444 .entry blur\n", CUDA_SUCCESS, CUDA_SUCCESS},
        {"empty", "", CUDA_ERROR_INVALID_IMAGE, CUDA_SUCCESS},
    };
    for (const auto& c : cases) {
        CUmodule module = nullptr;
        ASSERT_EQ(api().cuModuleLoadData(&module, c.image), c.load) << c.name;
        if (c.load != CUDA_SUCCESS) continue;
        CUfunction function = nullptr;
        EXPECT_EQ(api().cuModuleGetFunction(&function, module, "BGRA_to_YUV444"), c.lookup) << c.name;
        EXPECT_EQ(api().cuModuleUnload(module), CUDA_SUCCESS);
    }
    CUmodule module = nullptr;
    ASSERT_EQ(api().cuModuleLoadData(&module, ".entry blur\n"), CUDA_SUCCESS);
    CUfunction function = nullptr;
    EXPECT_EQ(api().cuModuleGetFunction(&function, module, "blur"), CUDA_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(api().cuModuleGetFunction(&function, module, nullptr), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(api().cuModuleUnload(module), CUDA_SUCCESS);
    EXPECT_EQ(api().cuModuleUnload(module), CUDA_ERROR_INVALID_HANDLE);
    EXPECT_EQ(api().cuModuleGetFunction(&function, module, "blur"), CUDA_ERROR_INVALID_HANDLE);
    EXPECT_EQ(api().cuModuleLoadData(&module, nullptr), CUDA_ERROR_INVALID_VALUE);
}

// A launch set up like the encoder's, which each case then spoils in one way.
class LaunchChecks : public ContextTest {
protected:
    void SetUp() override {
        ContextTest::SetUp();
        module.emplace(Module::load_data(driver(), ".entry BGRA_to_NV12\n"));
        input = mem_alloc_pitch(driver(), 64 * 4, 64, 16);
        output = mem_alloc_pitch(driver(), 64, 96, 16);
    }
    void TearDown() override {
        input.allocation.free();
        output.allocation.free();
        module.reset();
        ContextTest::TearDown();
    }
    CUresult launch(unsigned int bx, unsigned int by, unsigned int bz, unsigned int gy, int dst_h, CUdeviceptr src,
                    CUstream stream = nullptr) {
        KernelArguments args;
        args.pointer(src).int32(64).int32(64).int32(static_cast<std::int32_t>(input.pitch));
        args.pointer(output.allocation.address()).int32(64).int32(dst_h).int32(static_cast<std::int32_t>(output.pitch));
        args.int32(64).int32(64);
        return api().cuLaunchKernel(module->get_function("BGRA_to_NV12").handle(), 2, gy, 1, bx, by, bz, 0, stream,
                                    args.params(), nullptr);
    }

    std::optional<Module> module;
    PitchedAllocation input, output;
};

TEST_F(LaunchChecks, RefuseBadGeometryArgumentsAndAddresses) {
    const CUdeviceptr src = input.allocation.address();
    EXPECT_EQ(launch(16, 16, 1, 2, 64, src), CUDA_SUCCESS);
    EXPECT_EQ(launch(0, 16, 1, 2, 64, src), CUDA_ERROR_INVALID_VALUE) << "empty block";
    EXPECT_EQ(launch(32, 32, 2, 2, 64, src), CUDA_ERROR_INVALID_VALUE) << "too many threads";
    EXPECT_EQ(launch(16, 16, 1, 70000, 64, src), CUDA_ERROR_INVALID_VALUE) << "grid too tall";
    EXPECT_EQ(launch(16, 16, 1, 2, 0, src), CUDA_ERROR_INVALID_VALUE) << "empty output";
    EXPECT_EQ(launch(16, 16, 1, 2, 65, src), CUDA_ERROR_ILLEGAL_ADDRESS) << "output past its allocation";
    EXPECT_EQ(launch(16, 16, 1, 2, 64, src + input.pitch), CUDA_ERROR_ILLEGAL_ADDRESS) << "source past its allocation";
    EXPECT_EQ(launch(16, 16, 1, 2, 64, 0x4000), CUDA_ERROR_ILLEGAL_ADDRESS) << "source not device memory";
    EXPECT_EQ(launch(16, 16, 1, 2, 64, src, reinterpret_cast<CUstream>(0x10)), CUDA_ERROR_INVALID_HANDLE);
    EXPECT_EQ(api().cuLaunchKernel(module->get_function("BGRA_to_NV12").handle(), 1, 1, 1, 16, 16, 1, 0, nullptr,
                                   nullptr, nullptr),
              CUDA_ERROR_INVALID_VALUE);
}

TEST_F(LaunchChecks, RefuseFunctionsOfUnloadedModulesAndOtherContexts) {
    Function kernel = module->get_function("BGRA_to_NV12");
    Context other = Device::get(driver(), 0).make_context();
    EXPECT_EQ(launch(16, 16, 1, 2, 64, input.allocation.address()), CUDA_ERROR_INVALID_HANDLE);
    other.detach();
    module->unload();
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_HANDLE, kernel.get_attribute(CU_FUNC_ATTRIBUTE_NUM_REGS));
    KernelArguments none;
    none.int32(0);
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_HANDLE, kernel.launch(Dim3{}, Dim3{16, 16, 1}, none));
    Function bogus(driver(), reinterpret_cast<CUfunction>(0x77));
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_HANDLE, bogus.get_attribute(CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK));
}

}  // namespace
}  // namespace tevu::cuda::testing
