// Encodes a few desktop frames through both stand-in libraries (CUDA and NVENC, loaded from the build
// tree) and writes, for each encode, the stream, the BGRX source and the planes the kernel made of it:
//   nvenc_standin_encode OUTPUT-DIR [FRAMES]
// Files: OUTPUT-DIR/<name>.<h264|hevc|obu> (the stream, named after ffmpeg's input format; obu: AV1's
// low-overhead format), <name>.bgrx, <name>.yuv, and OUTPUT-DIR/encodes.txt with one line per encode,
// "<name> <h264|hevc|obu> <width> <height> <yuv420p|yuv444p> <lossless 0|1> <frames>". HEVC and AV1 are
// encoded where the stand-in was built with them (TEVU_STANDIN_WITH_HEVC, TEVU_STANDIN_WITH_AV1). The program decodes
// nothing: where ffmpeg cannot run beside it (a Windows build under wine), the caller checks the files
// (tests/nvenc_standin/check_encodes.py). Exit status 0 when every encode ran, 1 otherwise.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "nvenc_client.h"

namespace {

struct Encode {
    const char* name;
    GUID codec;
    const char* container;  // the stream's format, as ffmpeg names it
    uint32_t api;
    bool yuv444;
    GUID preset;
    bool lossless;
    NV_ENC_TUNING_INFO tuning = NV_ENC_TUNING_INFO_LOW_LATENCY;  // API 12.0
};

void append(std::ofstream& out, const std::vector<uint8_t>& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void run(const Encode& e, const std::string& dir, int frames, const nvenc_test::CudaContext& context,
         const nvenc_test::ConversionKernels& kernels, std::ofstream& list) {
    nvenc_test::EncoderOptions options;
    options.codec = e.codec;
    options.api = e.api;
    options.yuv444 = e.yuv444;
    options.preset = e.preset;
    options.tuning = e.tuning;
    nvenc_test::ClientEncoder encoder(context, kernels, options);
    std::ofstream stream(dir + "/" + e.name + "." + e.container, std::ios::binary);
    std::ofstream source(dir + "/" + e.name + ".bgrx", std::ios::binary);
    std::ofstream planes(dir + "/" + e.name + ".yuv", std::ios::binary);
    for (int i = 0; i < frames; ++i) {
        const std::vector<uint8_t> bgrx = nvenc_test::desktop_bgrx(options.width, options.height, i);
        append(stream, encoder.encode(bgrx));
        append(source, bgrx);
        const nvenc_test::YuvPicture converted = encoder.converted();
        append(planes, converted.y);
        append(planes, converted.u);
        append(planes, converted.v);
    }
    if (!stream || !source || !planes) throw std::runtime_error(std::string("cannot write the files of ") + e.name);
    list << e.name << ' ' << e.container << ' ' << options.width << ' ' << options.height << ' ' << (e.yuv444 ? "yuv444p" : "yuv420p")
         << ' ' << (e.lossless ? 1 : 0) << ' ' << frames << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s OUTPUT-DIR [FRAMES]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int frames = argc == 3 ? std::atoi(argv[2]) : 6;
    if (frames < 1) {
        std::fprintf(stderr, "%s: FRAMES must be a positive number\n", argv[0]);
        return 2;
    }
    const GUID h264 = NV_ENC_CODEC_H264_GUID, hevc = NV_ENC_CODEC_HEVC_GUID, av1 = NV_ENC_CODEC_AV1_GUID;
    const Encode all[] = {
        {"api5_yuv420", h264, "h264", NVENC_API_V5, false, NV_ENC_PRESET_DEFAULT_GUID, false},
        {"api4_yuv420", h264, "h264", NVENC_API_V4, false, NV_ENC_PRESET_DEFAULT_GUID, false},
        {"api5_lossless_yuv444", h264, "h264", NVENC_API_V5, true, NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID, true},
        {"api12_yuv420", h264, "h264", NVENC_API_V12, false, NV_ENC_PRESET_P4_GUID, false},
        {"api12_lossless_yuv444", h264, "h264", NVENC_API_V12, true, NV_ENC_PRESET_P4_GUID, true,
         NV_ENC_TUNING_INFO_LOSSLESS},
        {"api12_hevc_yuv420", hevc, "hevc", NVENC_API_V12, false, NV_ENC_PRESET_P4_GUID, false},
        {"api12_hevc_lossless_yuv444", hevc, "hevc", NVENC_API_V12, true, NV_ENC_PRESET_P4_GUID, true,
         NV_ENC_TUNING_INFO_LOSSLESS},
        {"api12_av1_yuv420", av1, "obu", NVENC_API_V12, false, NV_ENC_PRESET_P4_GUID, false},
    };
    std::vector<Encode> encodes;
    for (const Encode& e : all) {
        const bool built = nvenc_same_guid(e.codec, hevc)  ? TEVU_STANDIN_WITH_HEVC
                           : nvenc_same_guid(e.codec, av1) ? TEVU_STANDIN_WITH_AV1
                                                           : true;
        if (built)
            encodes.push_back(e);
    }
    std::ofstream list(dir + "/encodes.txt");
    int failures = 0;
    try {
        nvenc_test::CudaContext context;
        nvenc_test::CurrentContext current(context);  // the kernels' module lives in the current context
        nvenc_test::ConversionKernels kernels(nvenc_test::kernels_ptx_path());
        for (const Encode& e : encodes) {
            try {
                run(e, dir, frames, context, kernels, list);
                std::printf("encoded %s: %d frames\n", e.name, frames);
            } catch (const std::exception& error) {
                std::fprintf(stderr, "%s: %s\n", e.name, error.what());
                ++failures;
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
