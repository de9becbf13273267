// Device memory, page-locked host memory and copies of the stand-in, through the layer and directly.
#include "standin_fixture.h"

#include <algorithm>
#include <numeric>
#include <thread>

namespace tevu::cuda::testing {
namespace {

// 2D copies of `rows` rows of `row_bytes` bytes between pitched memory (cuMemcpy2D), which the
// stand-in offers though the layer has no use for them.
void copy_2d(const Driver& driver, CUDA_MEMCPY2D copy, std::size_t row_bytes, std::size_t rows) {
    copy.WidthInBytes = row_bytes;
    copy.Height = rows;
    driver.check(driver.cuMemcpy2D(&copy), "cuMemcpy2D");
}

void memcpy_htod_2d(const Driver& driver, CUdeviceptr dst, std::size_t dst_pitch, const void* src,
                    std::size_t src_pitch, std::size_t row_bytes, std::size_t rows) {
    CUDA_MEMCPY2D copy{};
    copy.srcMemoryType = CU_MEMORYTYPE_HOST;
    copy.srcHost = src;
    copy.srcPitch = src_pitch;
    copy.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    copy.dstDevice = dst;
    copy.dstPitch = dst_pitch;
    copy_2d(driver, copy, row_bytes, rows);
}

void memcpy_dtoh_2d(const Driver& driver, void* dst, std::size_t dst_pitch, CUdeviceptr src,
                    std::size_t src_pitch, std::size_t row_bytes, std::size_t rows) {
    CUDA_MEMCPY2D copy{};
    copy.srcMemoryType = CU_MEMORYTYPE_DEVICE;
    copy.srcDevice = src;
    copy.srcPitch = src_pitch;
    copy.dstMemoryType = CU_MEMORYTYPE_HOST;
    copy.dstHost = dst;
    copy.dstPitch = dst_pitch;
    copy_2d(driver, copy, row_bytes, rows);
}

// The device address of page-locked memory (cuMemHostGetDevicePointer).
CUdeviceptr device_pointer(const Driver& driver, const PagelockedBuffer& buffer) {
    CUdeviceptr address = 0;
    driver.check(driver.cuMemHostGetDevicePointer(&address, buffer.data(), 0), "cuMemHostGetDevicePointer");
    return address;
}

using Memory = ContextTest;

std::vector<std::uint8_t> counting_bytes(std::size_t n, int start = 0) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(start + i * 7);
    return bytes;
}

TEST_F(Memory, PitchedAllocationsAreAlignedAndCountedInTheMemoryInfo) {
    const MemoryInfo before = mem_get_info(api());
    EXPECT_EQ(before.total, Device::get(driver(), 0).total_memory());
    const struct {
        std::size_t row_bytes, rows;
    } cases[] = {{10240, 1088}, {1920, 1620}, {1, 1}, {513, 3}};
    for (const auto& c : cases) {
        PitchedAllocation a = mem_alloc_pitch(driver(), c.row_bytes, c.rows, 16);
        ASSERT_TRUE(a.allocation);
        EXPECT_GE(a.pitch, c.row_bytes);
        EXPECT_EQ(a.pitch % 16, 0u);
        EXPECT_EQ(a.allocation.address() % 256, 0u);
        EXPECT_LE(mem_get_info(api()).free, before.free - a.pitch * c.rows);
        a.allocation.free();
        EXPECT_FALSE(a.allocation);
        EXPECT_EQ(mem_get_info(api()).free, before.free);
    }
}

TEST_F(Memory, PitchedAllocationRefusesBadArguments) {
    for (unsigned int access : {0u, 1u, 2u, 3u, 32u}) {
        SCOPED_TRACE(access);
        EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, mem_alloc_pitch(driver(), 64, 4, access));
    }
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, mem_alloc_pitch(driver(), 0, 4, 16));
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, mem_alloc_pitch(driver(), 64, 0, 16));
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, mem_alloc(driver(), 0));
}

TEST_F(Memory, MoreThanTheDeviceHoldsIsAMemoryError) {
    const MemoryInfo before = mem_get_info(api());
    try {
        mem_alloc(driver(), before.total + 1);
        ADD_FAILURE() << "allocated more than the device holds";
    } catch (const MemoryError& e) {
        EXPECT_EQ(e.code(), CUDA_ERROR_OUT_OF_MEMORY);
        EXPECT_EQ(e.operation(), "cuMemAlloc");
        EXPECT_STREQ(e.what(), "cuMemAlloc failed: out of memory");
    }
    EXPECT_CUDA_ERROR(MemoryError, CUDA_ERROR_OUT_OF_MEMORY, mem_alloc_pitch(driver(), 1 << 20, 1 << 20, 16));
    EXPECT_EQ(mem_get_info(api()).free, before.free);
}

TEST_F(Memory, LinearCopiesRoundTrip) {
    DeviceAllocation a = mem_alloc(driver(), 1000);
    const std::vector<std::uint8_t> data = counting_bytes(1000);
    memcpy_htod(api(), a.address(), data.data(), data.size());
    std::vector<std::uint8_t> back(1000, 0);
    memcpy_dtoh(api(), back.data(), a.address(), back.size());
    EXPECT_EQ(back, data);
    std::vector<std::uint8_t> middle(10, 0);
    memcpy_dtoh(api(), middle.data(), a.address() + 500, middle.size());
    EXPECT_TRUE(std::equal(middle.begin(), middle.end(), data.begin() + 500));
}

TEST_F(Memory, CopiesOutsideAnAllocationAreRefused) {
    DeviceAllocation a = mem_alloc(driver(), 1000);
    std::vector<std::uint8_t> buffer(2000, 0);
    const struct {
        const char* name;
        CUdeviceptr address;
        std::size_t bytes;
    } cases[] = {
        {"one byte too many", a.address(), 1001},
        {"starting at the end", a.address() + 1000, 1},
        {"before the start", a.address() - 1, 2},
        {"not an allocation", 0x1000, 4},
        {"wrapping around", a.address() + 10, ~std::size_t(0)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(api().cuMemcpyHtoD(c.address, buffer.data(), c.bytes), CUDA_ERROR_INVALID_VALUE) << c.name;
        EXPECT_EQ(api().cuMemcpyDtoH(buffer.data(), c.address, c.bytes), CUDA_ERROR_INVALID_VALUE) << c.name;
    }
    EXPECT_EQ(api().cuMemcpyHtoD(a.address(), nullptr, 4), CUDA_ERROR_INVALID_VALUE);
    CUdeviceptr freed = a.address();
    a.free();
    EXPECT_EQ(api().cuMemcpyHtoD(freed, buffer.data(), 4), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(api().cuMemFree(freed), CUDA_ERROR_INVALID_VALUE);  // twice
}

TEST_F(Memory, TwoDimensionalCopiesHonourBothPitches) {
    PitchedAllocation a = mem_alloc_pitch(driver(), 30, 5, 4);
    const std::size_t src_pitch = 40;
    const std::vector<std::uint8_t> image = counting_bytes(src_pitch * 5, 3);
    memcpy_htod_2d(api(), a.allocation.address(), a.pitch, image.data(), src_pitch, 30, 5);
    std::vector<std::uint8_t> rows(a.pitch * 5, 0);
    memcpy_dtoh(api(), rows.data(), a.allocation.address(), rows.size());
    for (std::size_t y = 0; y < 5; ++y)
        EXPECT_TRUE(std::equal(image.begin() + y * src_pitch, image.begin() + y * src_pitch + 30,
                               rows.begin() + y * a.pitch))
            << "row " << y;
    std::vector<std::uint8_t> packed(30 * 5, 0);
    memcpy_dtoh_2d(api(), packed.data(), 30, a.allocation.address(), a.pitch, 30, 5);
    for (std::size_t y = 0; y < 5; ++y)
        EXPECT_TRUE(std::equal(packed.begin() + y * 30, packed.begin() + y * 30 + 30, image.begin() + y * src_pitch));
    // Rows wider than a pitch, and a last row past the allocation, are refused.
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE,
                      memcpy_htod_2d(api(), a.allocation.address(), 20, image.data(), src_pitch, 30, 5));
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE,
                      memcpy_htod_2d(api(), a.allocation.address(), a.pitch, image.data(), src_pitch, 30, 6));
    CUDA_MEMCPY2D arrays{};
    arrays.srcMemoryType = CU_MEMORYTYPE_ARRAY;
    arrays.dstMemoryType = CU_MEMORYTYPE_HOST;
    arrays.dstHost = packed.data();
    arrays.WidthInBytes = 1;
    arrays.Height = 1;
    EXPECT_EQ(api().cuMemcpy2D(&arrays), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(api().cuMemcpy2D(nullptr), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(Memory, PagelockedZerosAreZeroedWhateverTheDriverLeftThere) {
    void* raw = nullptr;
    ASSERT_EQ(api().cuMemHostAlloc(&raw, 64, 0), CUDA_SUCCESS);
    const auto* fresh = static_cast<const std::uint8_t*>(raw);
    EXPECT_NE(std::count(fresh, fresh + 64, 0), 64) << "the stand-in hands out cleared memory";
    ASSERT_EQ(api().cuMemFreeHost(raw), CUDA_SUCCESS);

    PagelockedBuffer buffer = pagelocked_zeros(driver(), 10000);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer.size(), 10000u);
    EXPECT_EQ(std::count(buffer.data(), buffer.data() + buffer.size(), 0), 10000);
    buffer.free();
    EXPECT_FALSE(buffer);
    EXPECT_EQ(buffer.size(), 0u);
}

TEST_F(Memory, PagelockedMemoryIsMappedOnlyWhereAllowed) {
    PagelockedBuffer mapped = pagelocked_zeros(driver(), 256);  // the context has MAP_HOST
    CUdeviceptr address = device_pointer(api(), mapped);
    EXPECT_EQ(address, reinterpret_cast<CUdeviceptr>(mapped.data()));
    const std::vector<std::uint8_t> data = counting_bytes(256);
    memcpy_htod(api(), address, data.data(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), mapped.data()));

    Context plain = Device::get(driver(), 0).make_context(CU_CTX_SCHED_AUTO);
    PagelockedBuffer unmapped = pagelocked_zeros(driver(), 256);
    EXPECT_CUDA_ERROR(LogicError, CUDA_ERROR_INVALID_VALUE, device_pointer(api(), unmapped));
    PagelockedBuffer devicemap = pagelocked_zeros(driver(), 256, CU_MEMHOSTALLOC_DEVICEMAP);
    EXPECT_NO_THROW(device_pointer(api(), devicemap));
    unmapped.free();
    devicemap.free();
    plain.detach();

    int on_stack = 0;
    CUdeviceptr ignored = 0;
    EXPECT_EQ(api().cuMemHostGetDevicePointer(&ignored, &on_stack, 0), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(api().cuMemFreeHost(&on_stack), CUDA_ERROR_INVALID_VALUE);
    void* raw = nullptr;
    EXPECT_EQ(api().cuMemHostAlloc(&raw, 16, 0x80), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(api().cuMemHostAlloc(&raw, 0, 0), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(Memory, AllocationsAreFreedInTheirOwnContext) {
    const MemoryInfo before = mem_get_info(api());
    DeviceAllocation a = mem_alloc(driver(), 4096);
    PagelockedBuffer host = pagelocked_zeros(driver(), 4096);
    context.pop();
    // No context is current: the driver itself refuses, the layer makes the owner current.
    EXPECT_EQ(api().cuMemFree(a.address()), CUDA_ERROR_INVALID_CONTEXT);
    a.free();
    host.free();
    EXPECT_EQ(Context::current(api()), nullptr);
    Context other = Device::get(driver(), 0).make_context();
    DeviceAllocation b = mem_alloc(driver(), 4096);
    other.pop();
    context.push();
    b.free();  // owned by `other`, freed while `context` is current
    EXPECT_EQ(Context::current(api()), context.handle());
    EXPECT_EQ(mem_get_info(api()).free, before.free);
    other.detach();
}

TEST_F(Memory, DestroyingAContextReleasesWhatItHeld) {
    const MemoryInfo before = mem_get_info(api());
    Context other = Device::get(driver(), 0).make_context();
    PitchedAllocation a = mem_alloc_pitch(driver(), 1 << 20, 16, 16);
    EXPECT_LT(mem_get_info(api()).free, before.free);
    CUdeviceptr address = a.allocation.address();
    other.detach();
    EXPECT_EQ(mem_get_info(api()).free, before.free);
    std::uint8_t byte = 0;
    EXPECT_EQ(api().cuMemcpyDtoH(&byte, address, 1), CUDA_ERROR_INVALID_VALUE);
    EXPECT_NO_THROW(a.allocation = DeviceAllocation());  // its owner is gone: releasing fails quietly
}

TEST_F(Memory, MovesTransferOwnership) {
    DeviceAllocation a = mem_alloc(driver(), 64);
    CUdeviceptr address = a.address();
    DeviceAllocation b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(b.address(), address);
    PagelockedBuffer p = pagelocked_zeros(driver(), 64);
    PagelockedBuffer q;
    q = std::move(p);
    EXPECT_FALSE(p);
    EXPECT_EQ(q.size(), 64u);
    const MemoryInfo before = mem_get_info(api());
    b = DeviceAllocation();
    EXPECT_EQ(mem_get_info(api()).free, before.free + 64);
}

TEST(MemoryThreads, ThreadsWorkInTheirOwnContextsAtOnce) {
    const MemoryInfo before = [] {
        Context probe = Device::get(driver(), 0).make_context();
        return mem_get_info(*driver());
    }();
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &mismatches] {
            Context context = Device::get(driver(), 0).make_context();
            for (int round = 0; round < 50; ++round) {
                PitchedAllocation a = mem_alloc_pitch(driver(), 256 + 16 * t, 8, 16);
                const std::vector<std::uint8_t> data = counting_bytes(a.pitch * 8, t + round);
                memcpy_htod(*driver(), a.allocation.address(), data.data(), data.size());
                std::vector<std::uint8_t> back(data.size(), 0);
                memcpy_dtoh(*driver(), back.data(), a.allocation.address(), back.size());
                mismatches[t] += back != data;
            }
            context.pop();
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
    Context probe = Device::get(driver(), 0).make_context();
    EXPECT_EQ(mem_get_info(*driver()).free, before.free);
}

}  // namespace
}  // namespace tevu::cuda::testing
