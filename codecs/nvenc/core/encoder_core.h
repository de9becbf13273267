// The encode session of one video stream, without any interpreter: a CUDA context and its buffers, an
// NVENC session with its registration and bitstream buffer, the preset and parameters, the frame path
// (stage, upload, convert, map, encode, lock, copy, release), the pixel-format and lossless switches,
// and the teardown. What it needs from its application comes through an EncoderHost.
//
// Every GPU resource has an owner (the cuda:: owners, and those of nvenc_handles.h), and one teardown
// path releases them all. The stream's configuration is one record (StreamConfig): init_context fills
// it, the recovery rebuild restores it, a format switch moves it to a new pixel format or lossless mode
// only once the session, its buffer and its kernel all agree with the new one, and clean() empties it.
//
// The units: core_setup.cpp (set-up and rebuild), core_session.cpp (session, discovery, preset and
// parameters), core_switch.cpp (speed, quality and format switches), core_frames.cpp (the frame path),
// core_teardown.cpp (teardown and the figures a host reports).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api_traits.h"
#include "catalogue.h"
#include "codec.h"
#include "cuda_layer.h"
#include "encoder_errors.h"
#include "encoder_host.h"
#include "host_value.h"
#include "nvenc_api.h"
#include "nvenc_handles.h"

namespace tevu::nvenc {

constexpr uint32_t kNV12 = NV_ENC_BUFFER_FORMAT_NV12_PL;
constexpr uint32_t kYUV444 = NV_ENC_BUFFER_FORMAT_YUV444_PL;

// What a stream is set up with. clean() empties it, keeping `lossless`.
struct StreamConfig {
    uint32_t width = 0, height = 0;
    std::string src_format;
    HostRef dst_formats;  // the caller's list of output formats
    HostRef encoding;     // the caller's encoding name, for log lines
    const Codec* codec = nullptr;  // the encoding's
    bool scaling_set = false;
    HostRef scaling;  // the caller's scaling, as given
    int scale_num = 1, scale_den = 1;
    int speed = 0, quality = 0;
    int device_id = -1;
    HostRef cuda_device;
    std::string pixel_format;
    bool lossless = false;

    uint32_t input_width() const;
    uint32_t input_height() const;
    uint32_t encoder_width() const;
    uint32_t encoder_height() const;
    // Unset scaling (a cleaned encoder) counts as scaled, as it is not (1, 1).
    bool scaled() const { return !scaling_set || !(scale_num == 1 && scale_den == 1); }
    bool yuv444() const { return pixel_format == "YUV444P"; }
    uint32_t divisor() const { return pixel_format == "NV12" ? 2 : 1; }
    // The NVENC buffer format of the pixel format; 0 when there is none.
    uint32_t buffer_format() const { return yuv444() ? kYUV444 : pixel_format == "NV12" ? kNV12 : 0; }
};

// A set-up's request: the stream, checked by the caller (sizes within the limits, a valid scaling).
struct StreamRequest {
    uint32_t width = 0, height = 0;
    std::string src_format;
    HostRef dst_formats, encoding, scaling;
    std::string encoding_name;  // the encoding's text, which chooses the codec
    int scale_num = 1, scale_den = 1;
    int speed = 0, quality = 0;
    int preferred_device = -1;
};

// A picture's pixels: where its bytes are, and how many.
struct PixelBytes {
    const uint8_t* data = nullptr;
    std::size_t size = 0;
};

// One picture of the caller, as the frame path reads it.
struct FramePicture {
    long long width = 0, height = 0, stride = 0, timestamp = 0;
    bool packed = false;
    Value planes;          // for the message of an unpacked picture
    bool has_pixels = false;
    PixelBytes pixels;
    bool pinned = false;   // the bytes stay in place while other threads run
    Value pixel_type;      // for log lines
};

// What the caller learns of an encoded picture besides its bitstream.
struct FrameResult {
    uint32_t frame = 0;
    uint64_t pts = 0;
    int speed = 0, quality = 0;
    bool lossless = false;
    bool scaled = false;
    uint32_t scaled_width = 0, scaled_height = 0;
};

// An encoded picture as compress() hands it back: its bitstream and what the caller learns of it.
struct EncodedFrame {
    std::vector<uint8_t> bitstream;
    FrameResult result;
};

// The caller's picture in one compress(), read as the frame path needs it.
class FrameIo {
public:
    virtual ~FrameIo() = default;
    // The picture and the options, for log lines: asked only for a line the host keeps.
    virtual Value image() = 0;
    virtual Value options() = 0;
    // Reads the picture: its methods run before the core relies on anything. The pixels stay held
    // until release_pixels().
    virtual FramePicture read() = 0;
    // The pixels of a picture that are not pinned, taken again as they are now, for the copy that follows
    // at once: the host's code run since read() may have let its other threads free or move them. Throws
    // as read() does when they are gone.
    virtual PixelBytes current_pixels() = 0;
    virtual void release_pixels() noexcept = 0;
    // The encoder's report, for the API's debug line of an encoded picture (asked only when it is kept).
    virtual Value report() = 0;
};

// Frames per second and milliseconds per frame over the last 10 seconds; absent without frames.
struct FrameRate {
    long long fps = 0;
    long long ms_per_frame = 0;
};

class EncoderCore {
public:
    explicit EncoderCore(EncoderHost& host);
    EncoderCore(const EncoderCore&) = delete;
    EncoderCore& operator=(const EncoderCore&) = delete;

    // set-up: a configuration, a CUDA context and buffers, a session and its buffers
    void check_not_set_up() const;
    void init_context(const StreamRequest& request);
    void init_buffers();
    // One picture; a driver logic error rebuilds the encoder once (unless `retry` is above 0).
    EncodedFrame compress(int quality, int speed, FrameIo& io, int retry);
    void set_encoding_speed(int speed);
    void set_encoding_quality(int quality);
    void update_bitrate();
    std::string target_pixel_format(int quality) const;
    bool target_lossless(const std::string& pixel_format, int quality) const;
    // Releases everything; the first failure is raised once every step ran.
    void clean();
    // A capability of `codec`; 0 (reported as unraisable) when the query fails.
    int query_encoder_caps(const GUID& codec, int cap);

    // what the host reports
    bool closed() const { return !session_; }
    bool set_up() const { return session_ || cuda_context_; }
    const StreamConfig& config() const { return config_; }
    const GUID& codec() const { return codec_guid_; }
    std::string codec_name() const { return config_.codec ? config_.codec->name() : ""; }
    // The codec of the last set-up, kept after clean() (the encoder's encoding); null before one.
    const Codec* set_up_codec() const { return set_up_codec_; }
    // Whether the session's driver listed the codec (false before a session lists its codecs).
    bool lists_codec(const Codec& codec) const { return catalogue_.codecs().find(codec.name()) != nullptr; }
    const std::string& preset_name() const { return preset_name_; }
    const std::string& tuning_name() const { return tuning_name_; }  // empty for an API without tunings
    uint32_t target_bitrate() const { return target_bitrate_; }
    uint32_t frames() const { return frames_; }
    uint64_t bytes_in() const { return bytes_in_; }
    uint64_t bytes_out() const { return bytes_out_; }
    double busy_seconds() const { return time_; }
    uint64_t free_memory() const { return free_memory_; }
    uint64_t total_memory() const { return total_memory_; }
    const Value& cuda_device_info() const { return cuda_device_info_; }
    const Value& cuda_info() const { return cuda_info_; }
    const Value& binding_info() const { return binding_info_; }
    std::optional<FrameRate> frame_rate(double now) const;
    Value context_text() const;
    Value staging_buffer_text() const;  // the page-locked staging buffer, for log lines

private:
    struct FrameTime {
        double start;
        double end;
    };
    // Where the kernel writes and NVENC reads: the device buffer of one pixel format, its registration
    // with the session, and the kernel that fills it. A format switch builds a new one beside the old one.
    struct OutputStage {
        cuda::PitchedAllocation buffer;
        RegisteredResource registration;
        HostRef kernel_object;  // the host's kernel: keeps its module loaded
        std::optional<cuda::Function> kernel;
        std::string kernel_name;
        uint32_t pitch() const { return static_cast<uint32_t>(buffer.pitch); }
    };
    // The parameters a session is initialised or reconfigured with, and the name of their preset.
    struct SessionParams {
        std::unique_ptr<NV_ENC_INITIALIZE_PARAMS> init;
        std::unique_ptr<NV_ENC_CONFIG> config;
        std::string preset_name;
        uint32_t tuning = 0;
    };
    // A copy whose parameters point to its own configuration.
    static SessionParams copy_params(const SessionParams& p);
    // A preset and the tuning it is used with (0 for an API without tunings).
    struct PresetChoice {
        GUID preset;
        uint32_t tuning;
    };
    // What a switch replaced and the driver refused to release; tried again at teardown.
    struct Retired {
        std::vector<RegisteredResource> registrations;
        std::vector<cuda::PitchedAllocation> buffers;
        std::vector<BitstreamBuffer> bitstreams;
    };
    // set-up (core_setup.cpp)
    void init_cuda();
    void init_cuda_buffers();
    void load_kernel(OutputStage& stage, const StreamConfig& c);
    cuda::PitchedAllocation allocate_output_buffer(const StreamConfig& c);
    void rebuild(const StreamConfig& saved);
    bool allows(HostFlag format) const;
    // session (core_session.cpp)
    void init_nvenc();
    void open_encode_session();
    // The handle of an open the driver refused: destroyed, as the driver asks; a failure is only logged.
    void destroy_refused_session(const NV_ENCODE_API_FUNCTION_LIST& functions, void* encoder);
    void init_codec();
    RegisteredResource register_buffer(const OutputStage& stage, const StreamConfig& c);
    BitstreamBuffer create_bitstream(uint32_t size);
    // The queries that fill the session's catalogue, each asking the driver once per session and logging
    // what it found each time; each returns what the catalogue holds.
    const NamedGuids& query_codecs();
    const NamedGuids& query_presets(const GUID& codec);
    const InputFormats& query_input_formats(const GUID& codec);
    void dump_caps(const std::string& name, const GUID& codec);
    PresetChoice get_preset(const GUID& codec, const StreamConfig& c);
    // `name` is null for a preset without one.
    void log_listed_preset(const Catalogue::ListedPreset& p) const;
    void log_preset_config(const Catalogue::ListedPreset& p) const;
    PresetConfig preset_config(const char* name, const GUID& encode, const GUID& preset, uint32_t tuning);
    PresetConfig ask_preset_config(const char* name, const GUID& encode, const GUID& preset, uint32_t tuning);
    void name_preset(const SessionParams& params);
    // A failed call of the open session: with the API's driver messages, the driver's text is logged first.
    void check_session(int status, const std::string& operation) const;
    void log_driver_message() const;
    void keep_failure(FirstFailure& failure, int status, const char* operation) const;
    SessionParams session_params(const GUID& codec, const StreamConfig& c);
    api::RateTargets rate_targets(const StreamConfig& c) const;
    // switches (core_switch.cpp)
    void switch_format(const std::string& pixel_format, bool lossless);
    int reconfigure(const SessionParams& params, bool reset = true);
    void apply_rate_control();
    void restore_session();
    void retire(OutputStage& old);
    // frames (core_frames.cpp)
    EncodedFrame compress_once(FrameIo& io);
    uint32_t stage_picture(const FramePicture& picture, FrameIo& io);
    void launch_kernel(uint32_t w, uint32_t h, uint32_t source_pitch);
    int encode_picture(uint64_t timestamp, NV_ENC_INPUT_PTR mapped, bool idr);
    void encode_fitting(uint64_t timestamp, NV_ENC_INPUT_PTR mapped, bool idr);
    bool grow_bitstream();
    // Locks the encoded picture and copies it out.
    std::vector<uint8_t> lock_and_copy(BitstreamLock& lock);
    void log_encoded(double milliseconds, FrameIo& io) const;
    void release_frame(MappedInput& mapped, BitstreamLock& lock);
    void retry_pending_releases() noexcept;
    FrameResult frame_result(uint64_t pts) const;
    void read_memory_info();
    // teardown (core_teardown.cpp)
    void cuda_clean(FirstFailure& failure);
    void release_session(FirstFailure& failure);
    void flush_encoder();
    void forget_context_memory() noexcept;
    void reset_fields();

    EncoderHost& host_;
    HostLog log_;
    StreamConfig config_;
    uint32_t target_bitrate_ = 0, max_bitrate_ = 0;
    Value cuda_info_, binding_info_, cuda_device_info_;
    // Owners are declared before what depends on them, so that destruction (reverse order) releases the
    // resources of a session before the session, and everything before the CUDA context.
    cuda::Context cuda_context_;
    void* cuda_context_ptr_ = nullptr;
    Session session_;
    SessionParams params_;  // what the session runs with
    GUID codec_guid_{};  // the session's, as the driver lists it
    Catalogue catalogue_;  // what the session offers, as asked
    const Codec* set_up_codec_ = nullptr;
    uint64_t free_memory_ = 0, total_memory_ = 0;
    cuda::PagelockedBuffer input_buffer_;
    cuda::PitchedAllocation device_input_buffer_;
    uint32_t input_pitch_ = 0;
    OutputStage output_;
    Retired retired_;
    BitstreamBuffer bitstream_;
    uint32_t bitstream_size_ = 0;
    // releases that failed, retried before the next frame and at teardown
    MappedInput pending_unmap_;
    BitstreamLock pending_unlock_;
    std::string preset_name_, tuning_name_;
    bool force_idr_ = false;
    bool end_of_stream_sent_ = false;  // by this session's teardown
    double time_ = 0;
    long long first_frame_timestamp_ = 0;
    uint32_t frames_ = 0;
    uint64_t bytes_in_ = 0, bytes_out_ = 0;
    std::deque<FrameTime> last_frame_times_;
    // kernel arguments, kept while their values stay the same (no allocation per frame)
    std::optional<cuda::KernelArguments> kernel_arguments_;
    std::array<uint64_t, 10> kernel_argument_values_{};
};

// The CUDA driver, opened once for the process's encoders.
const cuda::DriverPtr& cuda_driver();

}  // namespace tevu::nvenc
