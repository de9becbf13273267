#include "nvenc_client.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace nvenc_test {
namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr int kInputPixelsMin = 2560;  // the input buffer is at least this wide, as the modules make it

// The codec parameters are H.264's: the others' stay zero.
template <typename Picture>
void fill_picture(Picture& pic, uint32_t api, const GUID& codec, uint32_t width, uint32_t height, uint32_t pitch,
                  uint32_t frame, bool force_idr, void* input, void* output, NV_ENC_BUFFER_FORMAT format) {
    const bool idr = frame == 0 || force_idr;
    nvenc_reset(pic, api);
    pic.inputWidth = width;
    pic.inputHeight = height;
    pic.inputPitch = pitch;
    pic.encodePicFlags = frame == 0 ? NV_ENC_PIC_FLAG_OUTPUT_SPSPPS
                         : force_idr ? NV_ENC_PIC_FLAG_OUTPUT_SPSPPS | NV_ENC_PIC_FLAG_FORCEIDR
                                     : 0;
    pic.frameIdx = frame;
    pic.inputTimeStamp = frame;
    pic.inputBuffer = input;
    pic.outputBitstream = output;
    pic.bufferFmt = format;
    pic.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    pic.pictureType = idr ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P;
    if (!nvenc_same_guid(codec, NV_ENC_CODEC_H264_GUID))
        return;
    pic.codecPicParams.h264PicParams.displayPOCSyntax = 2 * frame;
    pic.codecPicParams.h264PicParams.refPicFlag = idr ? 1 : 0;
    pic.codecPicParams.h264PicParams.sliceMode = NVENC_SLICE_MODE_COUNT;
    pic.codecPicParams.h264PicParams.sliceModeData = 1;
}

}  // namespace

void check(NVENCSTATUS status, const char* what) {
    if (status != NV_ENC_SUCCESS)
        throw NvencError(status, what);
}

namespace {

// An export of the stand-in library, which stays loaded for the process like a client's.
void* standin_symbol(const char* symbol) {
    const char* build = std::getenv("TEVU_TEST_BUILD_DIR");
#if defined(_WIN64)
    const char* name = "nvEncodeAPI64.dll";
#elif defined(_WIN32)
    const char* name = "nvencodeapi.dll";
#else
    const char* name = "libnvidia-encode.so";
#endif
    const std::string path = std::string(build ? build : TEVU_BUILD_DIR) + "/platform/" + name;
    static void* library = dlopen(path.c_str(), RTLD_NOW);
    if (!library)
        throw std::runtime_error("cannot load " + path);
    void* entry = dlsym(library, symbol);
    if (!entry)
        throw std::runtime_error(std::string("no ") + symbol + " in " + path);
    return entry;
}

}  // namespace

PNVENCODEAPICREATEINSTANCE create_instance_entry() {
    return reinterpret_cast<PNVENCODEAPICREATEINSTANCE>(standin_symbol("NvEncodeAPICreateInstance"));
}

PNVENCODEAPIGETMAXSUPPORTEDVERSION max_supported_version_entry() {
    return reinterpret_cast<PNVENCODEAPIGETMAXSUPPORTEDVERSION>(standin_symbol("NvEncodeAPIGetMaxSupportedVersion"));
}

NV_ENCODE_API_FUNCTION_LIST function_list(uint32_t api) {
    NV_ENCODE_API_FUNCTION_LIST list;
    nvenc_reset(list, api);
    check(create_instance_entry()(&list), "NvEncodeAPICreateInstance");
    return list;
}

NVENCSTATUS Session::open(const NV_ENCODE_API_FUNCTION_LIST& api, void* cuda_context, uint32_t api_version,
                          void** handle) {
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params;
    nvenc_reset(params, api_version);
    params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    params.device = cuda_context;
    params.apiVersion = nvenc_api_word(api_version);
    *handle = nullptr;
    return api.nvEncOpenEncodeSessionEx(&params, handle);
}

Session::Session(const NV_ENCODE_API_FUNCTION_LIST& api, void* cuda_context, uint32_t api_version) : api_(api) {
    check(open(api, cuda_context, api_version, &handle_), "nvEncOpenEncodeSessionEx");
}

Session::~Session() { api_.nvEncDestroyEncoder(handle_); }

ClientEncoder::ClientEncoder(const CudaContext& context, const ConversionKernels& kernels, const EncoderOptions& o)
    : current_(context),
      kernels_(kernels),
      options_(o),
      api_(function_list(o.api)),
      input_(size_t(std::max(kInputPixelsMin, o.width)) * 4, size_t(o.height)),
      output_(size_t(o.width), size_t(o.height * 3)) {
    staging_.resize(input_.bytes());
    session_ = std::make_unique<Session>(api_, context.handle(), o.api);
    try {
        initialize();
    } catch (...) {
        release();
        throw;
    }
}

NV_ENC_CONFIG ClientEncoder::configuration(void* s) const {
    NV_ENC_PRESET_CONFIG preset;
    nvenc_reset(preset, options_.api);
    preset.presetCfg.version = nvenc_struct_version<NV_ENC_CONFIG>(options_.api);
    if (options_.api == NVENC_API_V12)
        check(api_.nvEncGetEncodePresetConfigEx(s, options_.codec, options_.preset, options_.tuning, &preset),
              "nvEncGetEncodePresetConfigEx");
    else
        check(api_.nvEncGetEncodePresetConfig(s, options_.codec, options_.preset, &preset),
              "nvEncGetEncodePresetConfig");
    NV_ENC_CONFIG config = preset.presetCfg;
    config.gopLength = NVENC_INFINITE_GOPLENGTH;
    config.frameIntervalP = 1;
    config.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
    const uint32_t chroma = options_.yuv444 ? NVENC_CHROMA_FORMAT_IDC_444 : NVENC_CHROMA_FORMAT_IDC_420;
    if (nvenc_same_guid(options_.codec, NV_ENC_CODEC_HEVC_GUID)) {
        NV_ENC_CONFIG_HEVC& h = config.encodeCodecConfig.hevcConfig;
        h.chromaFormatIDC = chroma;
        h.repeatSPSPPS = 1;
        h.idrPeriod = NVENC_INFINITE_GOPLENGTH;
        config.profileGUID = options_.yuv444 ? NV_ENC_HEVC_PROFILE_FREXT_GUID : NV_ENC_HEVC_PROFILE_MAIN_GUID;
    } else if (nvenc_same_guid(options_.codec, NV_ENC_CODEC_AV1_GUID)) {
        NV_ENC_CONFIG_AV1& a = config.encodeCodecConfig.av1Config;
        a.chromaFormatIDC = chroma;
        a.repeatSeqHdr = 1;
        a.idrPeriod = NVENC_INFINITE_GOPLENGTH;
    } else {
        NV_ENC_CONFIG_H264& h = config.encodeCodecConfig.h264Config;
        h.h264VUIParameters.videoSignalTypePresentFlag = 0;
        h.h264VUIParameters.colourDescriptionPresentFlag = 0;
        h.chromaFormatIDC = chroma;
    }
    if (options_.configure)
        options_.configure(config);
    return config;
}

NV_ENC_INITIALIZE_PARAMS ClientEncoder::initialize_params(NV_ENC_CONFIG& config) const {
    NV_ENC_INITIALIZE_PARAMS init;
    nvenc_reset(init, options_.api);
    init.encodeGUID = options_.codec;
    init.presetGUID = options_.preset;
    init.encodeWidth = init.darWidth = options_.width;
    init.encodeHeight = init.darHeight = options_.height;
    const bool v12 = options_.api == NVENC_API_V12;
    init.frameRateNum = v12 ? 30 : 1;
    init.frameRateDen = v12 ? 1 : 30;
    init.tuningInfo = v12 ? options_.tuning : NV_ENC_TUNING_INFO_UNDEFINED;
    init.encodeConfig = &config;
    return init;
}

void ClientEncoder::register_input() {
    NV_ENC_REGISTER_RESOURCE reg;
    nvenc_reset(reg, options_.api);
    reg.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR;
    reg.resourceToRegister = reinterpret_cast<void*>(static_cast<uintptr_t>(output_.address()));
    reg.width = options_.width;
    reg.height = options_.height;
    reg.pitch = static_cast<uint32_t>(output_.pitch());
    reg.bufferFormat = options_.yuv444 ? NV_ENC_BUFFER_FORMAT_YUV444_PL : NV_ENC_BUFFER_FORMAT_NV12_PL;
    check(api_.nvEncRegisterResource(session_->handle(), &reg), "nvEncRegisterResource");
    registered_ = reg.registeredResource;
}

void ClientEncoder::initialize() {
    void* s = session_->handle();
    NV_ENC_CONFIG config = configuration(s);
    NV_ENC_INITIALIZE_PARAMS init = initialize_params(config);
    check(api_.nvEncInitializeEncoder(s, &init), "nvEncInitializeEncoder");
    register_input();

    NV_ENC_CREATE_BITSTREAM_BUFFER out;
    nvenc_reset(out, options_.api);
    out.size = options_.bitstream_size ? options_.bitstream_size
                                       : std::min(2097152u, uint32_t(options_.width * options_.height * 3 / 2));
    out.memoryHeap = NV_ENC_MEMORY_HEAP_SYSMEM_CACHED;
    check(api_.nvEncCreateBitstreamBuffer(s, &out), "nvEncCreateBitstreamBuffer");
    bitstream_ = out.bitstreamBuffer;
}

void ClientEncoder::reconfigure(const EncoderOptions& next, bool reset) {
    if (next.width != options_.width || next.height != options_.height || next.api != options_.api)
        throw std::invalid_argument("a reconfiguration keeps the size and the API");
    void* s = session_->handle();
    const bool new_format = next.yuv444 != options_.yuv444;
    const EncoderOptions previous = options_;
    options_ = next;
    try {
        NV_ENC_CONFIG config = configuration(s);
        NV_ENC_RECONFIGURE_PARAMS params;
        nvenc_reset(params, options_.api);
        params.reInitEncodeParams = initialize_params(config);
        params.resetEncoder = reset ? 1 : 0;
        params.forceIDR = reset ? 1 : 0;
        check(api_.nvEncReconfigureEncoder(s, &params), "nvEncReconfigureEncoder");
    } catch (...) {
        options_ = previous;
        throw;
    }
    if (new_format) {
        check(api_.nvEncUnregisterResource(s, registered_), "nvEncUnregisterResource");
        registered_ = nullptr;
        register_input();
    }
    idr_next_ = reset;
}

std::vector<uint8_t> ClientEncoder::encode(const std::vector<uint8_t>& bgrx, bool force_idr) {
    const bool idr = force_idr || idr_next_;
    const double start = now();
    const size_t row = size_t(options_.width) * 4;
    for (int y = 0; y < options_.height; ++y)
        std::memcpy(&staging_[y * input_.pitch()], &bgrx[y * row], row);
    check(cuda().cuMemcpyHtoD_v2(input_.address(), staging_.data(), staging_.size()), "cuMemcpyHtoD_v2");
    kernels_.convert(options_.yuv444, input_, options_.width, options_.height, int(input_.pitch()), output_,
                     options_.width, options_.height, options_.width, options_.height);
    const double converted = now();

    void* s = session_->handle();
    NV_ENC_MAP_INPUT_RESOURCE map;
    nvenc_reset(map, options_.api);
    map.registeredResource = registered_;
    map.mappedBufferFmt = options_.yuv444 ? NV_ENC_BUFFER_FORMAT_YUV444_PL : NV_ENC_BUFFER_FORMAT_NV12_PL;
    check(api_.nvEncMapInputResource(s, &map), "nvEncMapInputResource");
    std::vector<uint8_t> data;
    NVENCSTATUS status;
    if (options_.api == NVENC_API_V4) {
        NV_ENC_PIC_PARAMS_V4 pic;
        fill_picture(pic, options_.api, options_.codec, options_.width, options_.height, uint32_t(output_.pitch()), frames_, idr,
                     map.mappedResource, bitstream_, map.mappedBufferFmt);
        if (options_.picture_rate)
            options_.picture_rate(pic.rcParams);
        status = api_.nvEncEncodePicture(s, reinterpret_cast<NV_ENC_PIC_PARAMS*>(&pic));
    } else if (options_.api == NVENC_API_V12) {
        NV_ENC_PIC_PARAMS_V12 pic;
        fill_picture(pic, options_.api, options_.codec, options_.width, options_.height, uint32_t(output_.pitch()), frames_, idr,
                     map.mappedResource, bitstream_, map.mappedBufferFmt);
        status = api_.nvEncEncodePicture(s, reinterpret_cast<NV_ENC_PIC_PARAMS*>(&pic));
    } else {
        NV_ENC_PIC_PARAMS_V5 pic;
        fill_picture(pic, options_.api, options_.codec, options_.width, options_.height, uint32_t(output_.pitch()), frames_, idr,
                     map.mappedResource, bitstream_, map.mappedBufferFmt);
        status = api_.nvEncEncodePicture(s, &pic);
    }
    if (status == NV_ENC_SUCCESS) {
        NV_ENC_LOCK_BITSTREAM lock;
        nvenc_reset(lock, options_.api);
        lock.outputBitstream = bitstream_;
        status = api_.nvEncLockBitstream(s, &lock);
        if (status == NV_ENC_SUCCESS) {
            const auto* bytes = static_cast<const uint8_t*>(lock.bitstreamBufferPtr);
            data.assign(bytes, bytes + lock.bitstreamSizeInBytes);
            average_qp_ = lock.frameAvgQP;
            status = api_.nvEncUnlockBitstream(s, bitstream_);
        }
    }
    const NVENCSTATUS unmapped = api_.nvEncUnmapInputResource(s, map.mappedResource);
    check(status, "encoding a picture");
    check(unmapped, "nvEncUnmapInputResource");
    ++frames_;
    idr_next_ = false;
    times_.conversion += converted - start;
    times_.encoding += now() - converted;
    return data;
}

YuvPicture ClientEncoder::converted() const {
    std::vector<uint8_t> planes(output_.bytes());
    check(cuda().cuMemcpyDtoH_v2(planes.data(), output_.address(), planes.size()), "cuMemcpyDtoH_v2");
    return from_pitched(planes.data(), int(output_.pitch()), options_.width, options_.height, options_.yuv444);
}

void ClientEncoder::release() {
    void* s = session_->handle();
    if (frames_ > 0) {
        NV_ENC_PIC_PARAMS_V12 eos;  // the largest layout; the version word tells the API's
        nvenc_reset(eos, options_.api);
        if (options_.api == NVENC_API_V4)
            eos.version = nvenc_struct_version<NV_ENC_PIC_PARAMS_V4>(options_.api);
        else if (options_.api == NVENC_API_V5)
            eos.version = nvenc_struct_version<NV_ENC_PIC_PARAMS_V5>(options_.api);
        eos.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
        api_.nvEncEncodePicture(s, reinterpret_cast<NV_ENC_PIC_PARAMS*>(&eos));
    }
    if (registered_)
        api_.nvEncUnregisterResource(s, registered_);
    if (bitstream_)
        api_.nvEncDestroyBitstreamBuffer(s, bitstream_);
    registered_ = bitstream_ = nullptr;
    session_.reset();
}

ClientEncoder::~ClientEncoder() { release(); }

}  // namespace nvenc_test
