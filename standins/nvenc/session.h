// One encode session: its encoder, registered input buffers, mappings and bitstream buffers.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "device_memory.h"
#include "encoder.h"
#include "nvenc_api.h"
#include "trace.h"

namespace tevu::standin::nvenc {

struct Registration {
    uint64_t device_address = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pitch = 0;
    NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_UNDEFINED;
    bool mapped = false;
};

struct Mapping {
    Registration* registration = nullptr;
};

struct Bitstream {
    std::vector<uint8_t> storage;  // the buffer's capacity, allocated at creation
    uint32_t size = 0;             // bytes of the last picture
    bool ready = false;            // holds a picture not yet locked
    bool locked = false;
    uint32_t frame_index = 0;
    uint64_t timestamp = 0;
    uint64_t duration = 0;
    NV_ENC_PIC_TYPE picture_type = NV_ENC_PIC_TYPE_UNKNOWN;
    uint32_t average_qp = 0;
};

// What every picture needs besides its parameters.
struct PictureEnvironment {
    bool null_encode = false;
};

class Session {
public:
    Session(uint32_t api, void* cuda_context, int device, DeviceMemory& memory, Offer offer);

    uint32_t api() const { return api_; }
    int device() const { return device_; }
    const Offer& offer() const { return offer_; }
    std::mutex& mutex() { return mutex_; }

    NVENCSTATUS initialize(const NV_ENC_INITIALIZE_PARAMS& params, TraceLine& trace);
    NVENCSTATUS reconfigure(const NV_ENC_RECONFIGURE_PARAMS& params, TraceLine& trace);
    NVENCSTATUS register_resource(NV_ENC_REGISTER_RESOURCE& params, TraceLine& trace);
    NVENCSTATUS unregister_resource(void* handle);
    NVENCSTATUS map(NV_ENC_MAP_INPUT_RESOURCE& params);
    NVENCSTATUS unmap(void* handle);
    NVENCSTATUS create_bitstream(NV_ENC_CREATE_BITSTREAM_BUFFER& params);
    NVENCSTATUS destroy_bitstream(void* handle);
    // `picture` is the client's structure; API 4.0 clients' per-picture rate control is read from it.
    NVENCSTATUS encode(const NV_ENC_PIC_PARAMS_V5& picture, const PictureEnvironment& env, TraceLine& trace);
    NVENCSTATUS lock(NV_ENC_LOCK_BITSTREAM& params);
    NVENCSTATUS unlock(void* handle);

    // Gives the reason why the call in progress fails; answers `status`.
    NVENCSTATUS refuse(NVENCSTATUS status, const std::string& reason);
    // Ends a failed call: the session's last error becomes the entry point, the reason given (if any) and
    // the status.
    void record_failure(const char* entry, NVENCSTATUS status);
    // The text of the last failure, empty before any; valid until the next failure or the session's end.
    const char* last_error() const { return last_error_.c_str(); }

private:
    struct Prepared {
        NVENCSTATUS status;
        EncoderSettings settings;
        bool without_parameter_sets = false;
        Codec codec = Codec::H264;
    };
    Prepared prepare(const NV_ENC_INITIALIZE_PARAMS& params, TraceLine& trace);
    // Opens the encoder of prepared settings.
    NVENCSTATUS start_encoder(const Prepared& prepared);
    NVENCSTATUS end_of_stream(TraceLine& trace);
    std::optional<PictureRequest> picture_request(const NV_ENC_PIC_PARAMS_V5& picture, TraceLine& trace);
    NVENCSTATUS read_input(const Registration& input);

    const uint32_t api_;
    void* const cuda_context_;
    const int device_;
    DeviceMemory& memory_;
    const Offer offer_;
    std::mutex mutex_;

    std::unique_ptr<Encoder> encoder_;
    Codec codec_ = Codec::H264;  // of the encoder
    bool ended_ = false;        // after the end-of-stream picture
    bool restart_ = false;      // the next picture starts a new stream (after a reconfiguration)
    bool without_parameter_sets_ = false;  // the configuration asked for no SPS and PPS at all
    uint32_t pictures_ = 0;     // pictures encoded in this session
    std::optional<uint32_t> last_idr_pic_id_;  // of the last IDR picture, across reconfigurations
    std::vector<uint8_t> staging_;
    std::map<void*, std::unique_ptr<Registration>> registrations_;
    std::map<void*, std::unique_ptr<Mapping>> mappings_;
    std::map<void*, std::unique_ptr<Bitstream>> bitstreams_;
    std::string reason_;      // of the call in progress
    std::string last_error_;  // of the last failed call
};

}  // namespace tevu::standin::nvenc
