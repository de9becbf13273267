#include "session.h"

#include <cstring>
#include <string>

#include "configuration.h"
#include "versions.h"

namespace tevu::standin::nvenc {
namespace {

constexpr uint32_t kLargestBitstream = 64u << 20;

std::string qp_text(const NV_ENC_QP& qp) {
    return std::to_string(qp.qpInterP) + "," + std::to_string(qp.qpInterB) + "," + std::to_string(qp.qpIntra);
}

void trace_rate(TraceLine& trace, const char* prefix, const NV_ENC_RC_PARAMS& rc) {
    const std::string p(prefix);
    trace.add((p + "rc").c_str(), rate_mode_name(rc.rateControlMode))
        .add((p + "qp").c_str(), qp_text(rc.constQP))
        .add((p + "minqp").c_str(), rc.enableMinQP ? qp_text(rc.minQP) : std::string("none"))
        .add((p + "maxqp").c_str(), rc.enableMaxQP ? qp_text(rc.maxQP) : std::string("none"))
        .add((p + "avg_bitrate").c_str(), rc.averageBitRate)
        .add((p + "max_bitrate").c_str(), rc.maxBitRate);
}

bool is_zero(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i])
            return false;
    return true;
}

template <typename T>
T* find(std::map<void*, std::unique_ptr<T>>& objects, void* handle) {
    const auto it = objects.find(handle);
    return it == objects.end() ? nullptr : it->second.get();
}

template <typename T>
void* adopt(std::map<void*, std::unique_ptr<T>>& objects, std::unique_ptr<T> object) {
    void* handle = object.get();
    objects.emplace(handle, std::move(object));
    return handle;
}

NV_ENC_PIC_TYPE picture_type_of(PictureKind kind) {
    switch (kind) {
    case PictureKind::Idr: return NV_ENC_PIC_TYPE_IDR;
    case PictureKind::Intra: return NV_ENC_PIC_TYPE_I;
    case PictureKind::Predicted: break;
    }
    return NV_ENC_PIC_TYPE_P;
}

bool is_yuv444(NV_ENC_BUFFER_FORMAT format) { return format == NV_ENC_BUFFER_FORMAT_YUV444_PL; }

}  // namespace

Session::Session(uint32_t api, void* cuda_context, int device, DeviceMemory& memory, Offer offer)
    : api_(api), cuda_context_(cuda_context), device_(device), memory_(memory), offer_(std::move(offer)) {}

Session::Prepared Session::prepare(const NV_ENC_INITIALIZE_PARAMS& params, TraceLine& trace) {
    const std::optional<Codec> codec = codec_of(params.encodeGUID);
    if (!codec)
        return {refuse(NV_ENC_ERR_INVALID_PARAM, "unknown codec"), {}};
    if (*codec == Codec::Hevc && api_ < NVENC_API_V12)  // listed for discovery to the older APIs
        return {refuse(NV_ENC_ERR_UNIMPLEMENTED, "HEVC is offered for discovery only"), {}};
    if (!offer_.encodes(*codec))
        return {refuse(NV_ENC_ERR_INVALID_PARAM, std::string("the codec ") + codec_name(*codec) + " is not offered"), {}};
    const std::optional<Preset> preset = find_preset(offer_, *codec, params.presetGUID);
    if (!preset)
        return {refuse(NV_ENC_ERR_INVALID_PARAM, "preset " + guid_text(params.presetGUID) + " is not offered"), {}};
    if (params.encodeConfig && !has_version(*params.encodeConfig, api_))
        return {refuse(NV_ENC_ERR_INVALID_VERSION, "the configuration's version word is not the session API's"), {}};
    const NV_ENC_CONFIG config = params.encodeConfig
                                     ? *params.encodeConfig
                                     : preset_configuration(*codec, *preset, api_, params.tuningInfo);
    const CodecFields f = codec_fields(*codec, config, params.tuningInfo);
    trace.add("preset", guid_text(params.presetGUID))
        .add("tuning", params.tuningInfo)
        .add("width", params.encodeWidth)
        .add("height", params.encodeHeight)
        .add("frame_rate", std::to_string(params.frameRateNum) + "/" + std::to_string(params.frameRateDen))
        .add("ptd", params.enablePTD)
        .add("gop", config.gopLength)
        .add("p_interval", config.frameIntervalP);
    trace_rate(trace, "", config.rcParams);
    trace.add("chroma", f.chroma_format_idc)
        .add("bypass", f.transform_bypass)
        .add("signal_type", f.colour.signal_type_present)
        .add("colour_description", f.colour.colour_description_present);
    if (*codec != Codec::H264)
        trace.add("codec", codec_name(*codec));
    const Translation t = translate(*codec, params, config, *preset, offer_);
    if (t.status != NV_ENC_SUCCESS)
        return {refuse(t.status, t.reason), {}};
    return {NV_ENC_SUCCESS, t.settings, f.without_parameter_sets, *codec};
}

NVENCSTATUS Session::start_encoder(const Prepared& prepared) {
    try {
        encoder_ = open_encoder(prepared.codec, prepared.settings);
    } catch (const EncoderError& e) {
        return refuse(NV_ENC_ERR_INVALID_PARAM, e.what());
    }
    codec_ = prepared.codec;
    without_parameter_sets_ = prepared.without_parameter_sets;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::initialize(const NV_ENC_INITIALIZE_PARAMS& params, TraceLine& trace) {
    if (encoder_)
        return refuse(NV_ENC_ERR_INVALID_CALL, "the encoder is already initialised");
    const Prepared p = prepare(params, trace);
    return p.status == NV_ENC_SUCCESS ? start_encoder(p) : p.status;
}

NVENCSTATUS Session::reconfigure(const NV_ENC_RECONFIGURE_PARAMS& params, TraceLine& trace) {
    if (!encoder_)
        return refuse(NV_ENC_ERR_ENCODER_NOT_INITIALIZED, "the encoder is not initialised");
    if (!has_version(params.reInitEncodeParams, api_))
        return refuse(NV_ENC_ERR_INVALID_VERSION, "reInitEncodeParams' version word is not the session API's");
    trace.add("reset", params.resetEncoder).add("force_idr", params.forceIDR);
    const Prepared p = prepare(params.reInitEncodeParams, trace);
    if (p.status != NV_ENC_SUCCESS)
        return p.status;
    if (p.codec != codec_)
        return refuse(NV_ENC_ERR_INVALID_PARAM, "a reconfiguration keeps the codec");
    // A new rate control goes on in the same stream, as far as the capabilities offer it (API 4.0 and 5.0
    // clients: bitrates and bounds); the libraries cannot change anything else in place, so then a new
    // encoder starts with a key picture.
    const LiveRateChanges live{
        offer_.api < NVENC_API_V12 || offer_.capability(NV_ENC_CAPS_SUPPORT_DYN_BITRATE_CHANGE, codec_),
        offer_.capability(NV_ENC_CAPS_SUPPORT_DYN_RCMODE_CHANGE, codec_) != 0};
    if (!params.resetEncoder && !params.forceIDR && p.without_parameter_sets == without_parameter_sets_ &&
        encoder_->change_rate(p.settings, live)) {
        trace.add("in_place", 1);
        return NV_ENC_SUCCESS;
    }
    const NVENCSTATUS started = start_encoder(p);
    if (started != NV_ENC_SUCCESS)
        return started;
    ended_ = false;
    restart_ = true;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::register_resource(NV_ENC_REGISTER_RESOURCE& params, TraceLine& trace) {
    trace.add("width", params.width).add("height", params.height).add("pitch", params.pitch).add_hex("format", params.bufferFormat);
    if (!encoder_)
        return NV_ENC_ERR_ENCODER_NOT_INITIALIZED;
    if (params.resourceType != NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    if (!params.resourceToRegister)
        return NV_ENC_ERR_INVALID_PTR;
    if (params.bufferFormat != NV_ENC_BUFFER_FORMAT_NV12_PL && params.bufferFormat != NV_ENC_BUFFER_FORMAT_YUV444_PL)
        return NV_ENC_ERR_INVALID_PARAM;
    if (is_yuv444(params.bufferFormat) && !offer_.yuv444(codec_))
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    if (params.width == 0 || params.height == 0 || params.pitch < params.width)
        return NV_ENC_ERR_INVALID_PARAM;
    auto r = std::make_unique<Registration>();
    r->device_address = reinterpret_cast<uintptr_t>(params.resourceToRegister);
    r->width = params.width;
    r->height = params.height;
    r->pitch = params.pitch;
    r->format = params.bufferFormat;
    params.registeredResource = adopt(registrations_, std::move(r));
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::unregister_resource(void* handle) {
    Registration* r = find(registrations_, handle);
    if (!r)
        return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    if (r->mapped)
        return NV_ENC_ERR_INVALID_CALL;
    registrations_.erase(handle);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::map(NV_ENC_MAP_INPUT_RESOURCE& params) {
    Registration* r = find(registrations_, params.registeredResource);
    if (!r)
        return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    if (params.mappedBufferFmt != r->format)
        return NV_ENC_ERR_INVALID_PARAM;
    if (r->mapped)
        return NV_ENC_ERR_MAP_FAILED;
    r->mapped = true;
    auto m = std::make_unique<Mapping>();
    m->registration = r;
    params.mappedResource = adopt(mappings_, std::move(m));
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::unmap(void* handle) {
    Mapping* m = find(mappings_, handle);
    if (!m)
        return NV_ENC_ERR_RESOURCE_NOT_MAPPED;
    m->registration->mapped = false;
    mappings_.erase(handle);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::create_bitstream(NV_ENC_CREATE_BITSTREAM_BUFFER& params) {
    if (!encoder_)
        return NV_ENC_ERR_ENCODER_NOT_INITIALIZED;
    if (params.size == 0)
        return NV_ENC_ERR_INVALID_PARAM;
    if (params.size > kLargestBitstream)
        return NV_ENC_ERR_OUT_OF_MEMORY;
    auto b = std::make_unique<Bitstream>();
    b->storage.resize(params.size);
    params.bitstreamBufferPtr = b->storage.data();
    params.bitstreamBuffer = adopt(bitstreams_, std::move(b));
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::destroy_bitstream(void* handle) {
    Bitstream* b = find(bitstreams_, handle);
    if (!b)
        return NV_ENC_ERR_INVALID_PARAM;
    if (b->locked)
        return NV_ENC_ERR_INVALID_CALL;
    bitstreams_.erase(handle);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::end_of_stream(TraceLine& trace) {
    trace.add("eos", 1);
    if (!encoder_)
        return NV_ENC_ERR_ENCODER_NOT_INITIALIZED;
    ended_ = true;  // nothing is held back: every picture left with its own call
    return NV_ENC_SUCCESS;
}

std::optional<PictureRequest> Session::picture_request(const NV_ENC_PIC_PARAMS_V5& picture, TraceLine& trace) {
    if (picture.pictureType == NV_ENC_PIC_TYPE_B || picture.pictureType == NV_ENC_PIC_TYPE_BI)
        return std::nullopt;
    PictureRequest request;
    const bool first = pictures_ == 0 || restart_;
    request.force_idr = first || picture.pictureType == NV_ENC_PIC_TYPE_IDR ||
                        (picture.encodePicFlags & NV_ENC_PIC_FLAG_FORCEIDR);
    request.force_intra = picture.pictureType == NV_ENC_PIC_TYPE_I || (picture.encodePicFlags & NV_ENC_PIC_FLAG_FORCEINTRA);
    // A stream starts with its parameter sets unless the configuration disabled them altogether.
    request.with_parameter_sets =
        !without_parameter_sets_ && (first || (picture.encodePicFlags & NV_ENC_PIC_FLAG_OUTPUT_SPSPPS));
    request.pts = pictures_;
    request.previous_idr_pic_id = last_idr_pic_id_;
    if (api_ == NVENC_API_V4) {
        // API 4.0 pictures carry a rate-control block of their own after the codec parameters.
        const auto& v4 = reinterpret_cast<const NV_ENC_PIC_PARAMS_V4&>(picture);
        if (!is_zero(&v4.rcParams, sizeof v4.rcParams)) {
            trace_rate(trace, "pic_", v4.rcParams);
            request.range = qp_range_of(v4.rcParams);
        }
    }
    return request;
}

NVENCSTATUS Session::read_input(const Registration& input) {
    const size_t rows = is_yuv444(input.format) ? size_t(input.height) * 3 : size_t(input.height) * 3 / 2;
    staging_.resize(rows * input.pitch);
    return memory_.copy_to_host(cuda_context_, input.device_address, staging_.size(), staging_.data())
               ? NV_ENC_SUCCESS
               : NV_ENC_ERR_MAP_FAILED;
}

NVENCSTATUS Session::encode(const NV_ENC_PIC_PARAMS_V5& picture, const PictureEnvironment& env, TraceLine& trace) {
    trace.add("frame", picture.frameIdx).add_hex("flags", picture.encodePicFlags).add("type", picture.pictureType);
    if (picture.encodePicFlags & NV_ENC_PIC_FLAG_EOS)
        return end_of_stream(trace);
    if (!encoder_)
        return NV_ENC_ERR_ENCODER_NOT_INITIALIZED;
    if (ended_)
        return refuse(NV_ENC_ERR_INVALID_CALL, "a picture after the end of the stream");
    Mapping* input = find(mappings_, picture.inputBuffer);
    if (!input)
        return NV_ENC_ERR_RESOURCE_NOT_MAPPED;
    Bitstream* output = find(bitstreams_, picture.outputBitstream);
    if (!output)
        return NV_ENC_ERR_INVALID_PARAM;
    if (output->locked)
        return NV_ENC_ERR_LOCK_BUSY;
    if (picture.completionEvent)
        return NV_ENC_ERR_INVALID_EVENT;  // synchronous sessions only
    const Registration& reg = *input->registration;
    const EncoderSettings& s = encoder_->settings();
    if (picture.inputWidth != uint32_t(s.width) || picture.inputHeight != uint32_t(s.height) ||
        reg.width < picture.inputWidth || reg.height < picture.inputHeight ||
        (picture.inputPitch != 0 && picture.inputPitch != reg.pitch) || picture.bufferFmt != reg.format ||
        is_yuv444(reg.format) != (s.chroma == ChromaFormat::Yuv444))
        return refuse(NV_ENC_ERR_INVALID_PARAM,
                      "the picture's size, pitch or format differs from the encoder's or the input buffer's");
    if (picture.pictureStruct != NV_ENC_PIC_STRUCT_FRAME)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    const std::optional<PictureRequest> request = picture_request(picture, trace);
    if (!request)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;

    EncodedPicture encoded;
    if (env.null_encode) {
        encoded.data = null_picture(codec_);
        encoded.kind = request->force_idr ? PictureKind::Idr : PictureKind::Predicted;
    } else {
        const NVENCSTATUS read = read_input(reg);
        if (read != NV_ENC_SUCCESS)
            return read;
        try {
            encoded = encoder_->encode(picture_in_buffer(staging_.data(), int(reg.pitch), int(reg.height), s.chroma), *request);
        } catch (const EncoderError&) {
            return NV_ENC_ERR_GENERIC;
        }
    }
    trace.add("size", static_cast<long long>(encoded.data.size())).add("avg_qp", encoded.average_qp);
    if (encoded.data.size() > output->storage.size())
        return NV_ENC_ERR_NOT_ENOUGH_BUFFER;
    std::memcpy(output->storage.data(), encoded.data.data(), encoded.data.size());
    output->size = static_cast<uint32_t>(encoded.data.size());
    output->ready = true;
    output->frame_index = picture.frameIdx;
    output->timestamp = picture.inputTimeStamp;
    output->duration = picture.inputDuration;
    output->picture_type = picture_type_of(encoded.kind);
    output->average_qp = static_cast<uint32_t>(encoded.average_qp);
    ++pictures_;
    restart_ = false;
    if (encoded.idr_pic_id)
        last_idr_pic_id_ = encoded.idr_pic_id;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::lock(NV_ENC_LOCK_BITSTREAM& params) {
    Bitstream* b = find(bitstreams_, params.outputBitstream);
    if (!b)
        return NV_ENC_ERR_INVALID_PARAM;
    if (b->locked || !b->ready)
        return NV_ENC_ERR_INVALID_CALL;  // nothing was encoded into it: a blocking lock would never return
    b->locked = true;
    params.bitstreamBufferPtr = b->storage.data();
    params.bitstreamSizeInBytes = b->size;
    params.frameIdx = b->frame_index;
    params.outputTimeStamp = b->timestamp;
    params.outputDuration = b->duration;
    params.pictureType = b->picture_type;
    params.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    params.frameAvgQP = b->average_qp;
    params.numSlices = 1;
    params.hwEncodeStatus = 0;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::refuse(NVENCSTATUS status, const std::string& reason) {
    reason_ = reason;
    return status;
}

void Session::record_failure(const char* entry, NVENCSTATUS status) {
    last_error_ = std::string(entry) + ": " + (reason_.empty() ? "" : reason_ + " ") + "(status " +
                  std::to_string(status) + ")";
    reason_.clear();
}

NVENCSTATUS Session::unlock(void* handle) {
    Bitstream* b = find(bitstreams_, handle);
    if (!b)
        return NV_ENC_ERR_INVALID_PARAM;
    if (!b->locked)
        return NV_ENC_ERR_INVALID_CALL;
    b->locked = false;
    b->ready = false;
    return NV_ENC_SUCCESS;
}

}  // namespace tevu::standin::nvenc
