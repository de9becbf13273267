// Helpers shared by the layer's units (not part of its public interface).
#pragma once

#include "cuda_layer.h"

namespace tevu::cuda::detail {

// Makes `owner` current for the lifetime of the object when another context (or none) is current.
class OwnerActivation {
public:
    OwnerActivation(const Driver& driver, CUcontext owner) : driver_(driver) {
        if (!owner || Context::current(driver) == owner) return;
        driver.check(driver.cuCtxPushCurrent(owner), "cuCtxPushCurrent");
        pushed_ = true;
    }
    OwnerActivation(const OwnerActivation&) = delete;
    OwnerActivation& operator=(const OwnerActivation&) = delete;
    ~OwnerActivation() {
        CUcontext popped = nullptr;
        if (pushed_) driver_.cuCtxPopCurrent(&popped);
    }

private:
    const Driver& driver_;
    bool pushed_ = false;
};

template <class Release>
void release_ignoring_errors(Release&& release) noexcept {
    try {
        release();
    } catch (const Error&) {
        // Destructors do not throw; the driver keeps what it could not release.
    }
}


}  // namespace tevu::cuda::detail
