// What differs between the NVENC API builds of the encoder module. The module is one source folder built
// once per API; every build links exactly one unit that defines what is declared here (api5_traits.cpp,
// api4_traits.cpp: the TRAITS of tevu_add_nvenc_module), and the rest of the module asks these for
// whatever its API does its own way. A traits unit is the only code that touches members one API's
// structures have and the other's lack.
//
// Everything is a plain constant or function resolved at link time, and free of the interpreter, so that
// the module's pure C++ core (and its unit tests) carry the traits unit too.
#pragma once

#include <cstdint>
#include <string>

#include "codec.h"
#include "nvenc_api.h"
#include "tables.h"

namespace tevu::nvenc::api {

// --- identity --------------------------------------------------------------------------------------------
extern const uint32_t kVersion;        // major << 4 | minor: 0x50 for API 5.0
extern const char* const kModuleName;  // the import name of the module

// The version word of structure T in this build's API, and T zeroed with it.
template <class T>
uint32_t version_word() {
    return nvenc_struct_version<T>(kVersion);
}
template <class T>
void reset(T& s) {
    nvenc_reset(s, kVersion);
}

// --- module attributes -------------------------------------------------------------------------------------
// The minimum compute capability for the device selection. When kMinComputeAttribute is set the module
// exports it as MIN_COMPUTE and each set-up reads that attribute; otherwise each set-up passes kMinCompute.
extern const int kMinCompute;
extern const bool kMinComputeAttribute;

// The module whose "context_counter" this module's import takes over for as long as the import runs,
// when that module is installed; null when the import takes none.
extern const char* const kCounterImportedFrom;

// get_spec's quality: kSpecQuality.base, plus yuv444_bonus while YUV444_ENABLED is true.
struct SpecQuality {
    int base;
    int yuv444_bonus;
};
extern const SpecQuality kSpecQuality;

// --- tables (the vocabulary itself: tables.h, defined by legacy_tables.cpp or the API-12.0 traits) ----------
Table<GuidName> hevc_profile_guids();  // API 4.0 and 5.0: empty where the API has no HEVC profiles
// The capability names that only this API has; caps_names() adds the shared ones (tables.cpp).
Table<NumberName> own_caps_names();

// --- init_module() -----------------------------------------------------------------------------------------
// The assertion message of an encoding without input colourspaces; `encoding` is its text.
std::string no_colorspaces_message(const std::string& encoding);

// What a test encoder that the driver refused does to init_module().
struct TestEncoderRules {
    bool failure_is_fatal;       // raise the generic exception; otherwise log a warning and go on
    const char* failure_format;  // that exception's message or warning; "%s" is the NVENCException's text
    const char* none_set_up;     // the generic exception when no test encoder was set up; null: no check
};
extern const TestEncoderRules kTestEncoderRules;

// --- session and picture parameters ----------------------------------------------------------------------
// What the rate control of a session or a picture is made from.
struct RateTargets {
    uint32_t target_bitrate;
    uint32_t max_bitrate;
    int quality;
    int max_quantiser;        // the top of the codec's quantiser scale
    int min_quantiser = 0;    // the lowest of a lossy stream on it (Codec::min_lossy_quantiser)
};
// Fills the API's own rate control of a session's configuration (copied from its preset beforehand);
// a lossless one asks the codec for what it needs besides.
void set_session_rate_control(NV_ENC_CONFIG& config, const RateTargets& targets, bool lossless, const Codec& codec);
// Fills the API's own rate control of one picture's parameters.
void set_picture_rate_control(NV_ENC_PIC_PARAMS& picture, const RateTargets& targets);

// --- what API 12.0 does its own way (none of it in API 4.0 and 5.0) ----------------------------------------
// The oldest API the driver's library must speak (its NvEncodeAPIGetMaxSupportedVersion), checked as the
// library is loaded; 0: no check.
extern const uint32_t kOldestDriverApi;
// Presets are asked for with a tuning, through nvEncGetEncodePresetConfigEx (which the function list must
// have), and lossless is a tuning rather than a preset.
extern const bool kTunedPresets;
// A failed call of a session also logs the driver's text for it (nvEncGetLastErrorString).
extern const bool kDriverMessages;
// A new bitrate is brought into the running session at once, without a new IDR picture.
extern const bool kLiveBitrate;
// A session that finds none of the module's presets among the driver's says which module to use.
extern const bool kModernPresetsHint;
extern const NV_ENC_MEMORY_HEAP kBitstreamHeap;
// The frame rate a session declares.
struct FrameRate {
    uint32_t num;
    uint32_t den;
};
extern const FrameRate kFrameRate;
// init_module()'s advice for a driver of unknown standing (the host's blacklist gives no verdict), which
// then goes without 4:4:4 and lossless unless TEVU_NVENC_YUV444P=1. Null where the library check that
// follows vouches for such a driver: it keeps them, without a warning.
extern const char* const kRecommendedDrivers;
// The tuning of a session: lossless, else the desired one (non-zero), else by speed; 0 without tunings.
uint32_t choose_tuning(int speed, bool lossless, uint32_t desired);
// What the API adds to a session's parameters: its tuning, and the codec's profile for the stream (null:
// the preset's).
void set_session_extras(NV_ENC_INITIALIZE_PARAMS& params, NV_ENC_CONFIG& config, uint32_t tuning, const GUID* profile);

// --- debug lines of compress_image() ----------------------------------------------------------------------
// Logged once the output buffer is locked, with its bitstreamBufferPtr; null: no line.
extern const char* const kBitstreamLockedLine;
// Logged once a picture is encoded: its "%.1f" is the time taken in milliseconds, followed, when
// with_info is set, by the encoder's get_info() dictionary.
struct EncodedLine {
    const char* format;
    bool with_info;
};
extern const EncodedLine kEncodedLine;

}  // namespace tevu::nvenc::api
