// Failure injection with CUDA_EMU_FAIL, and how the layer reports driver failures.
#include "config.h"
#include "standin_fixture.h"

#include <cstring>

namespace tevu::cuda::testing {
namespace {

using Failures = ContextTest;

TEST_F(Failures, AnInjectedResultIsRaisedInItsFamilyWithTheDriversText) {
    const struct {
        const char* setting;
        CUresult code;
        bool memory_family;
        const char* message;
    } cases[] = {
        {"cuMemAllocPitch=2", CUDA_ERROR_OUT_OF_MEMORY, true, "cuMemAllocPitch failed: out of memory"},
        {"cuMemAllocPitch=CUDA_ERROR_INVALID_VALUE", CUDA_ERROR_INVALID_VALUE, false,
         "cuMemAllocPitch failed: invalid argument"},
        {"cuMemAllocPitch=719", CUDA_ERROR_LAUNCH_FAILED, false, "cuMemAllocPitch failed: unspecified launch failure"},
        {"cuMemAllocPitch=4242", 4242, false, "cuMemAllocPitch failed: unknown error code 4242"},
    };
    const MemoryInfo before = mem_get_info(api());
    for (const auto& c : cases) {
        ScopedEnv fail("CUDA_EMU_FAIL", c.setting);
        try {
            mem_alloc_pitch(driver(), 64, 64, 16);
            ADD_FAILURE() << c.setting << ": nothing thrown";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), c.code) << c.setting;
            EXPECT_EQ(e.operation(), "cuMemAllocPitch");
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_EQ(dynamic_cast<const MemoryError*>(&e) != nullptr, c.memory_family) << c.setting;
            EXPECT_EQ(dynamic_cast<const LogicError*>(&e) != nullptr, !c.memory_family) << c.setting;
        }
    }
    EXPECT_EQ(mem_get_info(api()).free, before.free) << "a refused call changed something";
    EXPECT_NO_THROW(mem_alloc_pitch(driver(), 64, 64, 16));
}

TEST_F(Failures, AnNthCallRuleFailsOnlyThatCall) {
    ScopedEnv fail("CUDA_EMU_FAIL", "cuMemAlloc=2@2,cuCtxPushCurrent=201@1");
    EXPECT_NO_THROW(mem_alloc(driver(), 16));
    EXPECT_CUDA_ERROR(MemoryError, CUDA_ERROR_OUT_OF_MEMORY, mem_alloc(driver(), 16));
    EXPECT_NO_THROW(mem_alloc(driver(), 16));
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_CONTEXT, context.push());
    EXPECT_NO_THROW(context.push());
    context.pop();
}

TEST_F(Failures, CountsRestartWhenTheSettingChanges) {
    {
        ScopedEnv fail("CUDA_EMU_FAIL", "cuMemGetInfo=1@1");
        EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, mem_get_info(api()));
        EXPECT_NO_THROW(mem_get_info(api()));
    }
    EXPECT_NO_THROW(mem_get_info(api()));
    ScopedEnv again("CUDA_EMU_FAIL", "cuMemGetInfo=1@1,");
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, mem_get_info(api()));
}

TEST_F(Failures, EntryPointsOfEachKindCanBeMadeToFail) {
    ScopedEnv fail("CUDA_EMU_FAIL", "cuCtxCreate=CUDA_ERROR_INVALID_DEVICE,cuDeviceGetName=3,cuModuleLoadData=200,"
                                    "cuMemHostAlloc=2,cuMemcpyHtoD=700,cuCtxGetApiVersion=1,cuCtxGetCurrent=999");
    Device device = Device::get(driver(), 0);
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_DEVICE, device.make_context());
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_NOT_INITIALIZED, device.name());
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_IMAGE, Module::load_data(driver(), ".entry BGRA_to_NV12"));
    EXPECT_CUDA_ERROR(MemoryError, CUDA_ERROR_OUT_OF_MEMORY, pagelocked_zeros(driver(), 16));
    std::uint8_t byte = 0;
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_ILLEGAL_ADDRESS, memcpy_htod(api(), 0, &byte, 1));
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, context.get_api_version());
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_UNKNOWN, Context::current(api()));
}

// A release the driver refuses keeps the resource, so that a later call (or the destructor) frees it.
TEST_F(Failures, ARefusedReleaseKeepsTheResourceForAnotherTry) {
    PitchedAllocation device = mem_alloc_pitch(driver(), 64, 4, 16);
    PagelockedBuffer host = pagelocked_zeros(driver(), 64);
    Context other = Device::get(driver(), 0).make_context();
    other.pop();
    const CUdeviceptr address = device.allocation.address();
    const std::uint8_t* data = host.data();
    const CUcontext handle = other.handle();
    {
        ScopedEnv fail("CUDA_EMU_FAIL", "cuMemFree=2@1,cuMemFreeHost=1@1,cuCtxDestroy=201@1");
        EXPECT_CUDA_ERROR(MemoryError, CUDA_ERROR_OUT_OF_MEMORY, device.allocation.free());
        EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, host.free());
        EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_CONTEXT, other.detach());
        EXPECT_EQ(device.allocation.address(), address);
        EXPECT_EQ(host.data(), data);
        EXPECT_EQ(other.handle(), handle);
        // the second try goes through
        EXPECT_NO_THROW(device.allocation.free());
        EXPECT_NO_THROW(host.free());
        EXPECT_NO_THROW(other.detach());
    }
    EXPECT_FALSE(device.allocation);
    EXPECT_FALSE(host);
    EXPECT_FALSE(other);
    EXPECT_EQ(api().cuMemFree(address), CUDA_ERROR_INVALID_VALUE) << "freed once only";
}

// The stand-in's vocabulary: public entry point names, and results as non-zero numbers or CUDA_ERROR_ names.
// (The shape of the items is tested with the shared list reader.)
TEST(FailureRules, TakeTheDriversEntryNamesAndResults) {
    std::vector<std::string> problems;
    auto rules = standin::cuda::parse_failure_rules(
        "cuMemAllocPitch=2,cuInit=CUDA_ERROR_NO_DEVICE@3,,cuLaunchKernel=719@1,cuMemAlloc=-5,"
        "cuMemAlloc,cuNoSuchCall=2,cuMemFree=0,cuMemFree=CUDA_SUCCESS,cuMemFree=x,cuMemFree=0x2,cuMemFree_v2=2",
        problems);
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0], (standin::cuda::FailureRule{"cuMemAllocPitch", CUDA_ERROR_OUT_OF_MEMORY, 0}));
    EXPECT_EQ(rules[1], (standin::cuda::FailureRule{"cuInit", CUDA_ERROR_NO_DEVICE, 3}));
    EXPECT_EQ(rules[2], (standin::cuda::FailureRule{"cuLaunchKernel", CUDA_ERROR_LAUNCH_FAILED, 1}));
    EXPECT_EQ(rules[3], (standin::cuda::FailureRule{"cuMemAlloc", -5, 0}));
    const char* expected[] = {
        "ignoring 'cuMemAlloc': missing '='",
        "ignoring 'cuNoSuchCall=2': unknown entry point",
        "ignoring 'cuMemFree=0': result must be a non-zero code or a CUDA_ERROR_ name",
        "ignoring 'cuMemFree=CUDA_SUCCESS': result must be a non-zero code or a CUDA_ERROR_ name",
        "ignoring 'cuMemFree=x': result must be a non-zero code or a CUDA_ERROR_ name",
        "ignoring 'cuMemFree=0x2': result must be a non-zero code or a CUDA_ERROR_ name",
        "ignoring 'cuMemFree_v2=2': unknown entry point",
    };
    EXPECT_EQ(problems, std::vector<std::string>(std::begin(expected), std::end(expected)));
}

}  // namespace
}  // namespace tevu::cuda::testing
