// Device queries and contexts of the stand-in, through the layer and directly.
#include "standin_fixture.h"

#include <dlfcn.h>

#include <cstring>
#include <thread>

namespace tevu::cuda::testing {
namespace {

TEST(Devices, AnswerTheQueriesTheEncoderMakes) {
    ASSERT_EQ(Device::count(driver()), 1);
    Device device = Device::get(driver(), 0);
    EXPECT_FALSE(device.name().empty());
    EXPECT_EQ(device.pci_bus_id(), "0000:01:00.0");
    EXPECT_EQ(device.total_memory(), std::size_t(4096) << 20);
    auto [major, minor] = device.compute_capability();
    EXPECT_GE(major * 16 + minor, 0x30);
    EXPECT_EQ(device.get_attribute(CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR), major);
    EXPECT_EQ(device.get_attribute(CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR), minor);
    EXPECT_GT(driver()->version(), 0);
}

TEST(Devices, ReportPlausibleLaunchLimits) {
    Device device = Device::get(driver(), 0);
    const struct {
        CUdevice_attribute attribute;
        int at_least;
    } limits[] = {
        {CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK, 256}, {CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X, 16},
        {CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y, 16},        {CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z, 1},
        {CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X, 65535},      {CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y, 65535},
        {CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z, 1},          {CU_DEVICE_ATTRIBUTE_WARP_SIZE, 32},
        {CU_DEVICE_ATTRIBUTE_CAN_MAP_HOST_MEMORY, 1},     {CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT, 1},
    };
    for (const auto& limit : limits) EXPECT_GE(device.get_attribute(limit.attribute), limit.at_least) << limit.attribute;
}

TEST(Devices, RefuseUnknownDevicesAttributesAndBadBuffers) {
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_DEVICE, Device::get(driver(), 1));
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_DEVICE, Device::get(driver(), -1));
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_DEVICE, Device(driver(), 5).name());
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_DEVICE, Device(driver(), 5).make_context());
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, Device(driver(), 0).get_attribute(9999));
    const Driver& api = *driver();
    EXPECT_EQ(api.cuDeviceGetName(nullptr, 10, 0), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(api.cuDeviceGetCount(nullptr), CUDA_ERROR_INVALID_VALUE);
    char shortened[5];
    ASSERT_EQ(api.cuDeviceGetPCIBusId(shortened, sizeof shortened, 0), CUDA_SUCCESS);
    EXPECT_STREQ(shortened, "0000");
}

TEST(Devices, NameEveryResultCode) {
    const struct {
        CUresult code;
        const char* name;
        const char* description;
    } cases[] = {
        {CUDA_ERROR_OUT_OF_MEMORY, "CUDA_ERROR_OUT_OF_MEMORY", "out of memory"},
        {CUDA_ERROR_INVALID_VALUE, "CUDA_ERROR_INVALID_VALUE", "invalid argument"},
        {CUDA_ERROR_INVALID_CONTEXT, "CUDA_ERROR_INVALID_CONTEXT", "invalid device context"},
        {CUDA_ERROR_NOT_FOUND, "CUDA_ERROR_NOT_FOUND", "named symbol not found"},
        {12345, "12345", "unknown error code 12345"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(driver()->error_name(c.code), c.name);
        EXPECT_EQ(driver()->describe(c.code), c.description);
    }
    const char* text = "untouched";
    EXPECT_EQ(driver()->cuGetErrorString(12345, &text), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(text, nullptr);
}

TEST(Devices, CannotBeLoadedFromAMissingLibrary) {
    try {
        Driver::load("libtevu-no-such-driver.so");
        ADD_FAILURE() << "loaded a missing library";
    } catch (const LibraryError& e) {
        EXPECT_NE(std::strstr(e.what(), "libtevu-no-such-driver.so"), nullptr) << e.what();
    }
}

// Entry points handed out stay valid: the library is not unloaded when its last owner lets go.
TEST(Devices, LibraryStaysLoadedAfterItsLastOwner) {
    const std::string name = cuda_driver_library(native_windows).files.front();
    {
        std::shared_ptr<DynamicLibrary> library = DynamicLibrary::open(name);
        ASSERT_NE(library->symbol("cuInit"), nullptr);
    }
    void* still_loaded = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(still_loaded, nullptr);
    if (still_loaded) dlclose(still_loaded);
}

using Contexts = ContextTest;

TEST_F(Contexts, AreCurrentWhenMadeAndFollowPushAndPop) {
    EXPECT_EQ(Context::current(api()), context.handle());
    EXPECT_EQ(context.get_api_version(), 3020u);
    context.pop();
    EXPECT_EQ(Context::current(api()), nullptr);
    {
        ContextScope scope(context);
        EXPECT_EQ(Context::current(api()), context.handle());
        CUdevice device = -1;
        ASSERT_EQ(api().cuCtxGetDevice(&device), CUDA_SUCCESS);
        EXPECT_EQ(device, 0);
    }
    EXPECT_EQ(Context::current(api()), nullptr);
    context.push();
}

TEST_F(Contexts, StackInLastInFirstOutOrder) {
    Context second = Device::get(driver(), 0).make_context(CU_CTX_SCHED_BLOCKING_SYNC);
    EXPECT_EQ(Context::current(api()), second.handle());
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_CONTEXT, context.pop());  // not on top
    second.pop();
    EXPECT_EQ(Context::current(api()), context.handle());
    ASSERT_EQ(api().cuCtxSetCurrent(second.handle()), CUDA_SUCCESS);  // replaces the top
    EXPECT_EQ(Context::current(api()), second.handle());
    ASSERT_EQ(api().cuCtxSetCurrent(context.handle()), CUDA_SUCCESS);
    second.detach();
    EXPECT_EQ(Context::current(api()), context.handle());
}

TEST_F(Contexts, BelongToTheThreadThatPushesThem) {
    CUcontext seen_in_new_thread = reinterpret_cast<CUcontext>(1);
    CUcontext seen_after_push = nullptr;
    std::thread([&] {
        seen_in_new_thread = Context::current(api());
        context.push();
        seen_after_push = Context::current(api());
        context.pop();
    }).join();
    EXPECT_EQ(seen_in_new_thread, nullptr);
    EXPECT_EQ(seen_after_push, context.handle());
    EXPECT_EQ(Context::current(api()), context.handle());  // this thread's stack is unchanged
}

TEST_F(Contexts, DestroyedOnAnotherThreadAreReportedAsDestroyed) {
    Context other = Device::get(driver(), 0).make_context();
    CUcontext handle = other.handle();
    std::thread([&] { other.detach(); }).join();
    EXPECT_EQ(Context::current(api()), handle);
    std::size_t free_bytes = 0, total = 0;
    EXPECT_EQ(api().cuMemGetInfo(&free_bytes, &total), CUDA_ERROR_CONTEXT_IS_DESTROYED);
    EXPECT_EQ(api().cuCtxPushCurrent(handle), CUDA_ERROR_CONTEXT_IS_DESTROYED);
    CUcontext popped = nullptr;
    ASSERT_EQ(api().cuCtxPopCurrent(&popped), CUDA_SUCCESS);
    EXPECT_EQ(popped, handle);
}

TEST_F(Contexts, RefuseInvalidHandlesAndFlags) {
    CUcontext bogus = reinterpret_cast<CUcontext>(0x1234);
    EXPECT_EQ(api().cuCtxPushCurrent(bogus), CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(api().cuCtxPushCurrent(nullptr), CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(api().cuCtxDestroy(bogus), CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(api().cuCtxSetCurrent(bogus), CUDA_ERROR_INVALID_CONTEXT);
    unsigned int version = 0;
    EXPECT_EQ(api().cuCtxGetApiVersion(bogus, &version), CUDA_ERROR_INVALID_CONTEXT);
    CUcontext made = nullptr;
    EXPECT_EQ(api().cuCtxCreate(&made, 0x100, 0), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(api().cuCtxCreate(&made, CU_CTX_SCHED_SPIN | CU_CTX_SCHED_YIELD, 0), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(api().cuCtxCreate(nullptr, 0, 0), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(api().cuCtxGetCurrent(nullptr), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(made, nullptr);
}

TEST_F(Contexts, CannotBeDestroyedTwice) {
    Context other = Device::get(driver(), 0).make_context();
    CUcontext handle = other.handle();
    other.detach();
    EXPECT_FALSE(other);
    EXPECT_EQ(Context::current(api()), context.handle());  // destroying popped it
    EXPECT_EQ(api().cuCtxDestroy(handle), CUDA_ERROR_INVALID_CONTEXT);
    other.detach();  // an empty context object does nothing
}

TEST(ContextStack, PopOfAnEmptyStackIsRefused) {
    CUcontext popped = nullptr;
    EXPECT_EQ(driver()->cuCtxPopCurrent(&popped), CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(driver()->cuCtxSynchronize(), CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_CONTEXT, mem_get_info(*driver()));
}

}  // namespace
}  // namespace tevu::cuda::testing
