#include "lazy_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tevu::nvapi {
namespace {

// Threads take the lock while others retire it: never may two threads be inside at once.
TEST(LazyLock, ExcludesAcrossRetirement) {
    LazyLock lock;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                LazyLock::Guard held = lock.acquire();
                if (inside.fetch_add(1) != 0) ++overlaps;
                {
                    LazyLock::Guard nested = lock.acquire();
                    std::this_thread::yield();
                }
                inside.fetch_sub(1);
                if ((round + t) % 16 == 0) lock.retire(held);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace tevu::nvapi
