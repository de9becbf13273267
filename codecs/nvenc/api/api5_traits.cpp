// The API-5.0 build (tevu.codecs.nvenc5.encoder): the preset alone drives the rate control, HEVC has a
// profile, and a test encoder the driver refuses fails init_module().
#include "api_traits.h"

namespace tevu::nvenc::api {

static_assert(NVENCAPI_VERSION == NVENC_API_V5, "api5_traits.cpp belongs to the build with API 0x50");

const uint32_t kVersion = NVENC_API_V5;
const char* const kModuleName = "tevu.codecs.nvenc5.encoder";

// A fixed minimum compute capability: the module has no MIN_COMPUTE attribute.
const int kMinCompute = 0x30;
const bool kMinComputeAttribute = false;
// The API-4.0 module's counter, when that module is installed (its import runs first); this module
// replaces the name with its own counter further on and never uses the imported one.
const char* const kCounterImportedFrom = "tevu.codecs.nvenc4.encoder";
const SpecQuality kSpecQuality = {80, 0};  // whatever YUV444_ENABLED says

namespace {
const NumberName kOwnCapsNames[] = {
    {35, "EXPOSED_COUNT"},
};
const GuidName kHevcProfiles[] = {
    {&NV_ENC_HEVC_PROFILE_MAIN_GUID, nullptr, "main"},
};
}  // namespace

Table<GuidName> hevc_profile_guids() { return table_of(kHevcProfiles); }
Table<NumberName> own_caps_names() { return table_of(kOwnCapsNames); }

std::string no_colorspaces_message(const std::string& encoding) {
    return "cannot use NVENC: no colorspaces available for " + encoding;
}

const TestEncoderRules kTestEncoderRules = {true, "error initializing a test context: %s", nullptr};

// The session keeps the rate control of its preset, and pictures carry none.
void set_session_rate_control(NV_ENC_CONFIG&, const RateTargets&, bool, const Codec&) {}
void set_picture_rate_control(NV_ENC_PIC_PARAMS&, const RateTargets&) {}

const char* const kBitstreamLockedLine = "compress_image(..) output buffer locked, bitstreamBufferPtr=%#x";
const EncodedLine kEncodedLine = {"compress_image(..) encoded in %.1f ms", false};

}  // namespace tevu::nvenc::api
