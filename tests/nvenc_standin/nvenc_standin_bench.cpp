// Measures the NVENC stand-in at 1920x1080 as the encoder modules drive it: frames per second, and the
// share of the time spent uploading and converting the pixels; H.264 with the presets of API 5.0, then each
// codec of API 12.0.
// Usage: nvenc_standin_bench [frames]   (with LD_LIBRARY_PATH naming build/platform)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "cuda_client.h"
#include "nvenc_client.h"
#include "picture_tools.h"

using namespace nvenc_test;

namespace {

void measure(const char* name, const CudaContext& context, const ConversionKernels& kernels, EncoderOptions o,
             int frames) {
    std::vector<std::vector<uint8_t>> sources;
    for (int i = 0; i < 8; ++i)
        sources.push_back(desktop_bgrx(o.width, o.height, i));
    ClientEncoder encoder(context, kernels, o);
    size_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i)
        bytes += encoder.encode(sources[i % sources.size()]).size();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const PipelineTimes& t = encoder.times();
    std::printf("%-22s %4d frames  %6.1f fps  %6.2f ms/frame  conversion %4.1f%%  encode %4.1f%%  %7.0f bytes/frame\n",
                name, frames, frames / seconds, 1000 * seconds / frames, 100 * t.conversion / seconds,
                100 * t.encoding / seconds, double(bytes) / frames);
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 60;
    try {
        CudaContext context;
        CurrentContext current(context);
        ConversionKernels kernels(kernels_ptx_path());
        EncoderOptions o;
        o.width = 1920;
        o.height = 1088;  // 1080 rounded up to a multiple of 32, as the modules size the encoder
        measure("4:2:0 default preset", context, kernels, o, frames);
        o.preset = NV_ENC_PRESET_LOW_LATENCY_HP_GUID;
        measure("4:2:0 low-latency-hp", context, kernels, o, frames);
        o.yuv444 = true;
        o.preset = NV_ENC_PRESET_LOSSLESS_HP_GUID;
        measure("4:4:4 lossless-hp", context, kernels, o, frames);
        // Each codec of API 12.0 at its fastest preset, low latency, 4:2:0.
        o.yuv444 = false;
        o.api = NVENC_API_V12;
        o.preset = NV_ENC_PRESET_P1_GUID;
        const std::pair<const char*, GUID> codecs[] = {{"H.264 P1 low-latency", NV_ENC_CODEC_H264_GUID},
                                                       {"HEVC P1 low-latency", NV_ENC_CODEC_HEVC_GUID},
                                                       {"AV1 P1 low-latency", NV_ENC_CODEC_AV1_GUID}};
        for (const auto& [name, codec] : codecs) {
            o.codec = codec;
            measure(name, context, kernels, o, frames);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nvenc_standin_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
