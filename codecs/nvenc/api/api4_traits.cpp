// The API-4.0 build (tevu.codecs.nvenc4.encoder): the module sets the bitrates and quantiser ranges of
// the session and of every picture, reads MIN_COMPUTE at each set-up, and init_module() goes on past a
// test encoder the driver refuses as long as one encoding could be set up.
#include "api_traits.h"

#include "rate_control.h"

namespace tevu::nvenc::api {

static_assert(NVENCAPI_VERSION == NVENC_API_V4, "api4_traits.cpp belongs to the build with API 0x40");

const uint32_t kVersion = NVENC_API_V4;
const char* const kModuleName = "tevu.codecs.nvenc4.encoder";

// MIN_COMPUTE starts at kMinCompute; a host may change it between set-ups.
const int kMinCompute = 0x30;
const bool kMinComputeAttribute = true;
const char* const kCounterImportedFrom = nullptr;  // the module counts its sessions from its import on
// get_spec ranks the module higher while it can encode YUV444.
const SpecQuality kSpecQuality = {80, 20};

namespace {
const NumberName kOwnCapsNames[] = {
    {9, "SUPPORT_STEREO_MVC"},
    {35, "EXPOSED_COUNT"},
};

}  // namespace

Table<GuidName> hevc_profile_guids() { return {nullptr, 0}; }
Table<NumberName> own_caps_names() { return table_of(kOwnCapsNames); }

std::string no_colorspaces_message(const std::string&) { return "cannot use NVENC: no colorspaces available"; }

const TestEncoderRules kTestEncoderRules = {false, "error during NVENC v4 encoder test: %s",
                                            "no NVENC v4 test encoder could be set up"};

// A lossless session: a constant quantiser of 0 and what the codec needs besides.
void set_session_rate_control(NV_ENC_CONFIG& config, const RateTargets& targets, bool lossless, const Codec& codec) {
    apply_rate_control(config.rcParams, targets, lossless,
                       lossless ? QuantiserRange{0, 0} : session_quantisers(targets.quality));
    if (lossless) codec.set_lossless(config);
}

void set_picture_rate_control(NV_ENC_PIC_PARAMS& picture, const RateTargets& targets) {
    apply_rate_control(picture.rcParams, targets, false, picture_quantisers(targets.quality));
}

const char* const kBitstreamLockedLine = nullptr;
const EncodedLine kEncodedLine = {"compress_image(..) encoded in %.1f ms, info=%s", true};

}  // namespace tevu::nvenc::api
