// 32-bit layout check of the NVENC header, built with -m32 and run as a test. It checks the i386 sizes
// and member positions, and that those sizes, rounded up to 8 for the structures that hold a 64-bit
// member (the 32-bit Windows alignment of uint64_t), give the 32-bit Windows version words of both APIs.
// Built a second time with -malign-double and NVENC_WINDOWS32_ALIGNMENT, where 64-bit members align to 8
// as on 32-bit Windows: then the sizes themselves must give those words, without rounding.
// Prints every mismatch; exits 1 when there is one.
#include "layout_probe.h"

#include <cstdio>
#include <vector>

using nvenc_probe::Fact;

namespace {

static_assert(sizeof(void*) == 4, "this checker must be built for a 32-bit target");

#if defined(NVENC_WINDOWS32_ALIGNMENT)
constexpr bool windows32_alignment = true;
#else
constexpr bool windows32_alignment = false;
#endif

// The size that 32-bit Windows gives a structure, from its size in this build.
constexpr std::size_t windows32_size(std::size_t size, bool holds_64bit_member) {
    return holds_64bit_member && !windows32_alignment ? (size + 7) / 8 * 8 : size;
}
// Sizes of the structures with 64-bit members: i386 Linux and 32-bit Windows alignment.
constexpr long long with_64bit_members(long long i386, long long windows32) {
    return windows32_alignment ? windows32 : i386;
}

template <typename T>
Fact windows32_word(const char* what, bool holds_64bit_member, uint32_t api, uint32_t expected) {
    return {what, nvenc_struct_version<T>(api, windows32_size(sizeof(T), holds_64bit_member)), expected};
}

#define SIZE_FACT(T, bytes) \
    Fact { "sizeof " #T, static_cast<long long>(sizeof(T)), bytes }
#define OFFSET_FACT(T, member, at) \
    Fact { #T "." #member, NVENC_PROBE_OFFSET(T, member), at }
#define BIT_FACT(T, member, at) \
    Fact { #T "." #member " (bit)", NVENC_PROBE_BIT(T, member), at }

std::vector<Fact> i386_layout() {
    return {
        SIZE_FACT(NV_ENCODE_API_FUNCTION_LIST, 1280),
        SIZE_FACT(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, 1288),
        SIZE_FACT(NV_ENC_CAPS_PARAM, 256),
        SIZE_FACT(NV_ENC_RC_PARAMS, 128),
        SIZE_FACT(NV_ENC_CONFIG_H264, 1536),
        SIZE_FACT(NV_ENC_CONFIG_HEVC, 1304),
        SIZE_FACT(NV_ENC_CONFIG, 3072),
        SIZE_FACT(NV_ENC_PRESET_CONFIG, 4352),
        SIZE_FACT(NV_ENC_INITIALIZE_PARAMS, 1536),
        SIZE_FACT(NV_ENC_RECONFIGURE_PARAMS, 1544),
        SIZE_FACT(NV_ENC_REGISTER_RESOURCE, 1276),
        SIZE_FACT(NV_ENC_CREATE_BITSTREAM_BUFFER, 512),
        SIZE_FACT(NV_ENC_MAP_INPUT_RESOURCE, 1280),
        SIZE_FACT(NV_ENC_PIC_PARAMS_H264, 1280),
        SIZE_FACT(NV_ENC_PIC_PARAMS_HEVC, 1280),
        SIZE_FACT(NV_ENC_PIC_PARAMS_V5, with_64bit_members(2812, 2816)),
        SIZE_FACT(NV_ENC_PIC_PARAMS_V4, with_64bit_members(2812, 2816)),
        SIZE_FACT(NV_ENC_LOCK_BITSTREAM, with_64bit_members(1276, 1280)),

        OFFSET_FACT(NV_ENCODE_API_FUNCTION_LIST, nvEncOpenEncodeSession, 8),
        OFFSET_FACT(NV_ENCODE_API_FUNCTION_LIST, nvEncEncodePicture, 72),
        OFFSET_FACT(NV_ENCODE_API_FUNCTION_LIST, nvEncOpenEncodeSessionEx, 124),
        OFFSET_FACT(NV_ENCODE_API_FUNCTION_LIST, nvEncReconfigureEncoder, 136),
        OFFSET_FACT(NV_ENCODE_API_FUNCTION_LIST, reserved1, 140),
        OFFSET_FACT(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, apiVersion, 16),
        OFFSET_FACT(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS, reserved2[0], 1032),
        OFFSET_FACT(NV_ENC_CONFIG, encodeCodecConfig.h264Config.chromaFormatIDC, 360),
        OFFSET_FACT(NV_ENC_CONFIG, reserved[0], 1704),
        OFFSET_FACT(NV_ENC_CONFIG, reserved2[0], 2816),
        OFFSET_FACT(NV_ENC_PRESET_CONFIG, presetCfg.gopLength, 4 + 20),
        OFFSET_FACT(NV_ENC_PRESET_CONFIG, reserved2[0], 4096),
        OFFSET_FACT(NV_ENC_INITIALIZE_PARAMS, privData, 76),
        OFFSET_FACT(NV_ENC_INITIALIZE_PARAMS, encodeConfig, 80),
        OFFSET_FACT(NV_ENC_INITIALIZE_PARAMS, maxEncodeHeight, 88),
        OFFSET_FACT(NV_ENC_INITIALIZE_PARAMS, tuningInfo, 124),  // reserved in API 4.0 and 5.0
        OFFSET_FACT(NV_ENC_INITIALIZE_PARAMS, reserved2[0], 1280),
        BIT_FACT(NV_ENC_RECONFIGURE_PARAMS, resetEncoder, 1540 * 8),
        BIT_FACT(NV_ENC_RECONFIGURE_PARAMS, forceIDR, 1540 * 8 + 1),
        OFFSET_FACT(NV_ENC_REGISTER_RESOURCE, registeredResource, 28),
        OFFSET_FACT(NV_ENC_REGISTER_RESOURCE, bufferFormat, 32),
        OFFSET_FACT(NV_ENC_REGISTER_RESOURCE, reserved2[0], 1028),
        OFFSET_FACT(NV_ENC_CREATE_BITSTREAM_BUFFER, bitstreamBufferPtr, 20),
        OFFSET_FACT(NV_ENC_CREATE_BITSTREAM_BUFFER, reserved2[0], 256),
        OFFSET_FACT(NV_ENC_MAP_INPUT_RESOURCE, mappedResource, 16),
        OFFSET_FACT(NV_ENC_MAP_INPUT_RESOURCE, mappedBufferFmt, 20),
        OFFSET_FACT(NV_ENC_MAP_INPUT_RESOURCE, reserved2[0], 1028),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_H264, sliceTypeData, 24),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_H264, sliceMode, 40),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_H264, reserved2[0], 1032),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_HEVC, sliceTypeData, 20),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_HEVC, seiPayloadArray, 56),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_HEVC, reserved3[0], 1036),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V5, inputBuffer, 40),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V5, outputBitstream, 44),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V5, bufferFmt, 52),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V5, pictureType, 60),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V5, codecPicParams.h264PicParams.displayPOCSyntax, 64),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V5, meExternalHints, 1376),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V5, qpDeltaMap, 1412),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V5, meHintRefPicDist[0], 1424),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V5, reserved4[0], 2572),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V4, newEncodeWidth, 1344),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V4, rcParams.version, 1352),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V4, rcParams.averageBitRate, 1352 + 20),
        OFFSET_FACT(NV_ENC_PIC_PARAMS_V4, rcParams.minQP.qpInterP, 1352 + 40),
        BIT_FACT(NV_ENC_PIC_PARAMS_V4, rcParams.enableMinQP, (1352 + 36) * 8),
        OFFSET_FACT(NV_ENC_LOCK_BITSTREAM, sliceOffsets, 12),
        OFFSET_FACT(NV_ENC_LOCK_BITSTREAM, outputTimeStamp, 32),
        OFFSET_FACT(NV_ENC_LOCK_BITSTREAM, bitstreamBufferPtr, 48),
        OFFSET_FACT(NV_ENC_LOCK_BITSTREAM, ltrFrameBitmap, 72),
        OFFSET_FACT(NV_ENC_LOCK_BITSTREAM, reserved2[0], 1020),
    };
}

// The 32-bit Windows words. Only the picture parameters and the locked bitstream hold 64-bit members.
std::vector<Fact> windows32_words() {
    std::vector<Fact> facts;
    struct Api {
        uint32_t api;
        uint32_t table, open, caps, preset, config, init, reg, bitstream, reconf, map, pic, lock;
    };
    const Api apis[] = {
        {NVENC_API_V5, 0x50020500, 0x50010508, 0x50010100, 0xD0041100, 0xD0050C00, 0xD0050600, 0x500304FC,
         0x50010200, 0xD0010608, 0x50040500, 0xD0040B00, 0x50010500},
        {NVENC_API_V4, 0x40020500, 0x40010508, 0x40010100, 0xC0041100, 0xC0050C00, 0xC0050600, 0x400304FC,
         0x40010200, 0xC0010608, 0x40040500, 0xC0030B00, 0x40010500},
    };
    for (const Api& a : apis) {
        const std::vector<Fact> words = {
            windows32_word<NV_ENCODE_API_FUNCTION_LIST>("word NV_ENCODE_API_FUNCTION_LIST", false, a.api,
                                                        a.table),
            windows32_word<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>("word NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS",
                                                                 false, a.api, a.open),
            windows32_word<NV_ENC_CAPS_PARAM>("word NV_ENC_CAPS_PARAM", false, a.api, a.caps),
            windows32_word<NV_ENC_PRESET_CONFIG>("word NV_ENC_PRESET_CONFIG", false, a.api, a.preset),
            windows32_word<NV_ENC_CONFIG>("word NV_ENC_CONFIG", false, a.api, a.config),
            windows32_word<NV_ENC_INITIALIZE_PARAMS>("word NV_ENC_INITIALIZE_PARAMS", false, a.api, a.init),
            windows32_word<NV_ENC_REGISTER_RESOURCE>("word NV_ENC_REGISTER_RESOURCE", false, a.api, a.reg),
            windows32_word<NV_ENC_CREATE_BITSTREAM_BUFFER>("word NV_ENC_CREATE_BITSTREAM_BUFFER", false,
                                                           a.api, a.bitstream),
            windows32_word<NV_ENC_RECONFIGURE_PARAMS>("word NV_ENC_RECONFIGURE_PARAMS", false, a.api,
                                                      a.reconf),
            windows32_word<NV_ENC_MAP_INPUT_RESOURCE>("word NV_ENC_MAP_INPUT_RESOURCE", false, a.api, a.map),
            windows32_word<NV_ENC_PIC_PARAMS_V5>("word NV_ENC_PIC_PARAMS_V5", true, a.api, a.pic),
            windows32_word<NV_ENC_PIC_PARAMS_V4>("word NV_ENC_PIC_PARAMS_V4", true, a.api, a.pic),
            windows32_word<NV_ENC_LOCK_BITSTREAM>("word NV_ENC_LOCK_BITSTREAM", true, a.api, a.lock),
        };
        facts.insert(facts.end(), words.begin(), words.end());
    }
    return facts;
}

int report(const std::vector<Fact>& facts) {
    int failures = 0;
    for (const Fact& f : facts) {
        if (f.actual == f.expected) continue;
        std::printf("MISMATCH %s: got %lld (0x%llX), expected %lld (0x%llX)\n", f.what, f.actual,
                    static_cast<unsigned long long>(f.actual), f.expected,
                    static_cast<unsigned long long>(f.expected));
        ++failures;
    }
    return failures;
}

}  // namespace

int main() {
    const std::vector<Fact> layout = i386_layout();
    const std::vector<Fact> words = windows32_words();
    const int failures = report(layout) + report(words);
    std::printf("%s alignment: %zu layout facts, %zu 32-bit Windows words checked: %d mismatch(es)\n",
                windows32_alignment ? "32-bit Windows" : "i386", layout.size(), words.size(), failures);
    return failures == 0 ? 0 : 1;
}
