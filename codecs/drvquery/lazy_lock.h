// A re-entrant lock that comes into being on first use and can be retired (deleted once its last holder
// lets go), to be created afresh by the next use. Threads that race to create it agree on one instance;
// a thread that was waiting on a lock retired in the meantime moves on to the current one, so no two
// threads ever hold different instances at once.
#pragma once

#include <memory>

#include "nvapi_platform.h"

namespace tevu::nvapi {

class LazyLock {
    struct Instance {
        platform::RecursiveLock lock;
        bool retired = false;  // written and read only while the lock is held
    };

public:
    // Holds the lock for its lifetime.
    class Guard {
    public:
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard(Guard&& other) noexcept = default;
        Guard& operator=(Guard&&) = delete;
        ~Guard();

    private:
        friend class LazyLock;
        explicit Guard(std::shared_ptr<Instance> held) noexcept : held_(std::move(held)) {}
        std::shared_ptr<Instance> held_;
    };

    constexpr LazyLock() noexcept = default;
    LazyLock(const LazyLock&) = delete;
    LazyLock& operator=(const LazyLock&) = delete;

    // Creates the lock unless it exists.
    void ensure_created();
    // Creates the lock if needed and takes it.
    Guard acquire();
    // Retires the lock held through guard: it is deleted when the guard (and any other holder) lets go.
    void retire(Guard& guard);
    bool exists() const;

private:
    std::shared_ptr<Instance> current_or_new();
    std::shared_ptr<Instance> current_;  // accessed only through the atomic shared_ptr operations
};

}  // namespace tevu::nvapi
