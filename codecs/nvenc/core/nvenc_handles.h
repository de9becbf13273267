// Owners of the NVENC handles of one encode session: the session itself, and the registered resource,
// bitstream buffer, mapped input and bitstream lock made through it. Each owner releases its handle
// exactly once; a release the driver refuses keeps the handle, so that a later try can release it.
// Each driver call runs in a blocking section (encoder_host.h).
#pragma once

#include <memory>
#include <utility>

#include "encoder_host.h"
#include "nvenc_api.h"

namespace tevu::nvenc {

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

// An open encode session with its entry-point table. The host hears once the driver has destroyed it
// (it counts the open sessions).
class Session {
public:
    Session() noexcept = default;
    Session(std::unique_ptr<NV_ENCODE_API_FUNCTION_LIST> api, void* encoder) noexcept
        : api_(std::move(api)), encoder_(encoder) {}
    Session(Session&& other) noexcept
        : api_(std::move(other.api_)), encoder_(std::exchange(other.encoder_, nullptr)),
          host_(other.host_) {}
    Session& operator=(Session&& other) noexcept {
        if (this != &other) {
            destroy();
            api_ = std::move(other.api_);
            encoder_ = std::exchange(other.encoder_, nullptr);
            host_ = other.host_;
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
    // From now on the host hears of its destruction.
    void count_with(EncoderHost* host) noexcept { host_ = host; }

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
        if (host_) host_->session_closed();
        return 0;
    }

private:
    std::unique_ptr<NV_ENCODE_API_FUNCTION_LIST> api_;
    void* encoder_ = nullptr;
    EncoderHost* host_ = nullptr;
};

}  // namespace tevu::nvenc
