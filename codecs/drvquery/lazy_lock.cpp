#include "lazy_lock.h"

#include <atomic>

namespace tevu::nvapi {

LazyLock::Guard::~Guard() {
    if (held_) held_->lock.leave();
}

std::shared_ptr<LazyLock::Instance> LazyLock::current_or_new() {
    std::shared_ptr<Instance> current = std::atomic_load(&current_);
    if (current) return current;
    auto fresh = std::make_shared<Instance>();
    // Another thread may have been first: then its instance is the one to use.
    if (std::atomic_compare_exchange_strong(&current_, &current, fresh)) return fresh;
    return current;
}

void LazyLock::ensure_created() { current_or_new(); }

LazyLock::Guard LazyLock::acquire() {
    for (;;) {
        std::shared_ptr<Instance> instance = current_or_new();
        instance->lock.enter();
        if (!instance->retired) return Guard(std::move(instance));
        instance->lock.leave();
    }
}

void LazyLock::retire(Guard& guard) {
    guard.held_->retired = true;
    std::shared_ptr<Instance> expected = guard.held_;
    std::atomic_compare_exchange_strong(&current_, &expected, std::shared_ptr<Instance>());
}

bool LazyLock::exists() const { return std::atomic_load(&current_) != nullptr; }

}  // namespace tevu::nvapi
