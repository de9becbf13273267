// Owners of the NVENC handles of one encode session: the session itself, and the registered resource,
// bitstream buffer, mapped input and bitstream lock made through it. Each owner releases its handle
// exactly once; a release the driver refuses keeps the handle, so that a later try can release it.
// The owners are used with the interpreter lock held; they release it around each driver call.
#pragma once

#include <memory>
#include <utility>

#include "nvenc_api.h"
#include "pyutil.h"

namespace tevu::nvenc {

// A driver call with the interpreter lock released; its status as an int.
template <class F>
int unlocked(F&& call) {
    py::GilRelease release;
    return static_cast<int>(call());
}

// What a resource of a session needs to release itself.
struct SessionRef {
    const NV_ENCODE_API_FUNCTION_LIST* api = nullptr;
    void* encoder = nullptr;
};

// A handle made through a session and released by one entry point taking (encoder, handle).
template <class Handle, auto Release>
class SessionResource {
public:
    SessionResource() noexcept = default;
    SessionResource(SessionRef session, Handle handle) noexcept : session_(session), handle_(handle) {}
    SessionResource(SessionResource&& other) noexcept
        : session_(other.session_), handle_(std::exchange(other.handle_, nullptr)) {}
    SessionResource& operator=(SessionResource&& other) noexcept {
        if (this != &other) {
            release();
            session_ = other.session_;
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    SessionResource(const SessionResource&) = delete;
    SessionResource& operator=(const SessionResource&) = delete;
    ~SessionResource() { release(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

    // Releases the handle now: 0 when done (or when there is none), else the driver's status, and the
    // handle is kept.
    int release() noexcept {
        if (!handle_) return 0;
        const int status = unlocked([&] { return (session_.api->*Release)(session_.encoder, handle_); });
        if (status == 0) handle_ = nullptr;
        return status;
    }
    // Drops the handle without a call: its session is gone, and the driver released it with the session.
    void forget() noexcept { handle_ = nullptr; }

private:
    SessionRef session_;
    Handle handle_ = nullptr;
};

using RegisteredResource = SessionResource<NV_ENC_REGISTERED_PTR, &NV_ENCODE_API_FUNCTION_LIST::nvEncUnregisterResource>;
using BitstreamBuffer = SessionResource<NV_ENC_OUTPUT_PTR, &NV_ENCODE_API_FUNCTION_LIST::nvEncDestroyBitstreamBuffer>;
using MappedInput = SessionResource<NV_ENC_INPUT_PTR, &NV_ENCODE_API_FUNCTION_LIST::nvEncUnmapInputResource>;
using BitstreamLock = SessionResource<NV_ENC_OUTPUT_PTR, &NV_ENCODE_API_FUNCTION_LIST::nvEncUnlockBitstream>;

// An open encode session with its entry-point table. `on_destroyed` runs once the driver has destroyed
// it (the module counts its open sessions).
class Session {
public:
    using Callback = void (*)() noexcept;

    Session() noexcept = default;
    Session(std::unique_ptr<NV_ENCODE_API_FUNCTION_LIST> api, void* encoder, Callback on_destroyed) noexcept
        : api_(std::move(api)), encoder_(encoder), on_destroyed_(on_destroyed) {}
    Session(Session&& other) noexcept
        : api_(std::move(other.api_)), encoder_(std::exchange(other.encoder_, nullptr)),
          on_destroyed_(other.on_destroyed_) {}
    Session& operator=(Session&& other) noexcept {
        if (this != &other) {
            destroy();
            api_ = std::move(other.api_);
            encoder_ = std::exchange(other.encoder_, nullptr);
            on_destroyed_ = other.on_destroyed_;
        }
        return *this;
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { destroy(); }

    explicit operator bool() const noexcept { return encoder_ != nullptr; }
    void* encoder() const noexcept { return encoder_; }
    const NV_ENCODE_API_FUNCTION_LIST& api() const noexcept { return *api_; }
    SessionRef ref() const noexcept { return {api_.get(), encoder_}; }

    // nvEncDestroyEncoder: 0 when done (or when there is no session), else the driver's status, and
    // the session is kept. The entry-point table goes with the session.
    int destroy() noexcept {
        if (!encoder_) {
            api_.reset();
            return 0;
        }
        const int status = unlocked([&] { return api_->nvEncDestroyEncoder(encoder_); });
        if (status != 0) return status;
        encoder_ = nullptr;
        api_.reset();
        if (on_destroyed_) on_destroyed_();
        return 0;
    }

private:
    std::unique_ptr<NV_ENCODE_API_FUNCTION_LIST> api_;
    void* encoder_ = nullptr;
    Callback on_destroyed_ = nullptr;
};

}  // namespace tevu::nvenc
