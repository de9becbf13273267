// An NVENC client for the tests: the stand-in library opened at run time, its entry-point table, and an
// encoder pipeline that works the way the encoder modules do (upload, convert, map, encode, lock).
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuda_client.h"
#include "nvenc_api.h"
#include "picture_tools.h"

namespace nvenc_test {

class NvencError : public std::runtime_error {
public:
    NvencError(NVENCSTATUS status, const std::string& what)
        : std::runtime_error(what + " returned " + std::to_string(status)), status(status) {}
    NVENCSTATUS status;
};

void check(NVENCSTATUS status, const char* what);

// NvEncodeAPICreateInstance and NvEncodeAPIGetMaxSupportedVersion of the stand-in in the build tree.
PNVENCODEAPICREATEINSTANCE create_instance_entry();
PNVENCODEAPIGETMAXSUPPORTEDVERSION max_supported_version_entry();
// A filled table for the API (0x40, 0x50 or 0xC0); throws NvencError.
NV_ENCODE_API_FUNCTION_LIST function_list(uint32_t api);

// An open session, destroyed with the object.
class Session {
public:
    Session(const NV_ENCODE_API_FUNCTION_LIST& api, void* cuda_context, uint32_t api_version);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    void* handle() const { return handle_; }
    // nvEncOpenEncodeSessionEx as a client calls it: the status and the handle (null on failure).
    static NVENCSTATUS open(const NV_ENCODE_API_FUNCTION_LIST& api, void* cuda_context, uint32_t api_version,
                            void** handle);

private:
    const NV_ENCODE_API_FUNCTION_LIST& api_;
    void* handle_ = nullptr;
};

struct EncoderOptions {
    GUID codec = NV_ENC_CODEC_H264_GUID;
    int width = 320;
    int height = 192;
    bool yuv444 = false;
    uint32_t api = NVENC_API_V5;
    GUID preset = NV_ENC_PRESET_DEFAULT_GUID;
    // API 12.0: the configuration comes from nvEncGetEncodePresetConfigEx with this tuning, which the
    // initialisation declares too, at 30 frames per second (older APIs declare 1/30 as the modules do).
    NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_LOW_LATENCY;
    std::function<void(NV_ENC_CONFIG&)> configure;          // after the module's overrides
    std::function<void(NV_ENC_RC_PARAMS&)> picture_rate;     // API 4.0: every picture's block
    uint32_t bitstream_size = 0;  // 0: three halves of the picture area, at most 2 MiB, as the modules ask
};

struct PipelineTimes {
    double conversion = 0;  // seconds spent uploading and converting
    double encoding = 0;    // seconds spent mapping, encoding, locking and copying out
};

// Keeps its CUDA context current on the creating thread for its whole life (the buffers need it).
class ClientEncoder {
public:
    ClientEncoder(const CudaContext& context, const ConversionKernels& kernels, const EncoderOptions& options);
    ~ClientEncoder();
    ClientEncoder(const ClientEncoder&) = delete;
    ClientEncoder& operator=(const ClientEncoder&) = delete;

    // One BGRX frame (rowstride 4 x width) to one access unit; throws NvencError or CudaError. A forced
    // IDR picture asks for its parameter sets too.
    std::vector<uint8_t> encode(const std::vector<uint8_t>& bgrx, bool force_idr = false);
    // nvEncReconfigureEncoder with the configuration of `next` (same size and API), resetting the encoder;
    // a new input format is registered again. The next picture is a forced IDR picture. Without `reset`,
    // the encoder is neither reset nor asked for an IDR picture.
    void reconfigure(const EncoderOptions& next, bool reset = true);
    // The planes the kernel wrote for the last frame.
    YuvPicture converted() const;
    const PipelineTimes& times() const { return times_; }
    // frameAvgQP of the last picture's lock.
    uint32_t average_qp() const { return average_qp_; }
    const NV_ENCODE_API_FUNCTION_LIST& api() const { return api_; }
    void* session() const { return session_->handle(); }

private:
    void initialize();
    void register_input();
    NV_ENC_CONFIG configuration(void* session) const;
    NV_ENC_INITIALIZE_PARAMS initialize_params(NV_ENC_CONFIG& config) const;
    void release();

    CurrentContext current_;
    const ConversionKernels& kernels_;
    EncoderOptions options_;
    NV_ENCODE_API_FUNCTION_LIST api_;
    PitchedBuffer input_;
    PitchedBuffer output_;  // the kernel's planes; as large as 4:4:4 needs, for either format
    std::vector<uint8_t> staging_;
    std::unique_ptr<Session> session_;
    void* registered_ = nullptr;
    void* bitstream_ = nullptr;
    uint32_t frames_ = 0;
    bool idr_next_ = false;  // after a reconfiguration
    uint32_t average_qp_ = 0;
    PipelineTimes times_;
};

}  // namespace nvenc_test
