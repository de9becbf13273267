#include <atomic>

#include "encoder_host.h"

namespace tevu::nvenc {
namespace {
std::atomic<void* (*)() noexcept> enter_hook{nullptr};
std::atomic<void (*)(void*)> leave_hook{nullptr};
}  // namespace

void install_blocking_hooks(BlockingHooks hooks) noexcept {
    leave_hook.store(hooks.leave);
    enter_hook.store(hooks.enter);
}

BlockingSection::BlockingSection() noexcept {
    if (auto enter = enter_hook.load()) {
        token_ = enter();
        entered_ = true;
    }
}

BlockingSection::~BlockingSection() noexcept(false) {
    if (!entered_) return;
    if (auto leave = leave_hook.load()) leave(token_);
}

}  // namespace tevu::nvenc
