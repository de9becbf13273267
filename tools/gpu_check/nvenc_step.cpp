#include "nvenc_step.h"

#include "nvenc_api.h"
#include "platform_library.h"
#include "tables.h"
#include "tevu_nvenc_apis.h"

#include <cstdio>
#include <optional>
#include <string>

namespace tevu::gpu_check {

namespace {

// Session statuses that mean the device has no NVENC engine (or none this driver will use).
bool no_encoder_on_device(NVENCSTATUS status) {
    return status == NV_ENC_ERR_NO_ENCODE_DEVICE || status == NV_ENC_ERR_UNSUPPORTED_DEVICE ||
           status == NV_ENC_ERR_INVALID_DEVICE || status == NV_ENC_ERR_DEVICE_NOT_EXIST;
}

std::string status_text(NVENCSTATUS status) { return nvenc::status_info(status); }

std::string hex_word(uint32_t word) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", word);
    return text;
}

// What the library tells of its newest API.
struct NewestApiSeen {
    bool entry_point = false;              // it exports NvEncodeAPIGetMaxSupportedVersion
    std::optional<std::uint32_t> version;  // what that answered, when it succeeded
};

// Whether the library is older than an API: its newest is lower, or it predates the query of its newest.
bool older_than(const NewestApiSeen& newest, std::uint32_t api) {
    return !newest.entry_point || (newest.version && *newest.version < api);
}

// The module of an API that this library is too old for.
std::string needs_newer_driver(std::uint32_t api) {
    return " (the library is older than this API): the module of API " + nvenc::api_version_text(api) +
           " needs a newer driver";
}

// refused: the library took the API's function list but refuses its sessions, being older than the API.
enum class SessionResult { opened, no_encoder, refused, failed };

SessionResult open_session(Report& report, const NV_ENCODE_API_FUNCTION_LIST& table, const cuda::Device& device,
                           int ordinal, std::uint32_t api, const NewestApiSeen& newest) {
    const std::string what = "API " + nvenc::api_version_text(api) + " device " + std::to_string(ordinal);
    try {
        cuda::Context context = device.make_context();
        NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params;
        nvenc_reset(params, api);
        params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
        params.device = context.handle();
        params.apiVersion = nvenc_api_word(api);
        void* encoder = nullptr;
        const NVENCSTATUS status = table.nvEncOpenEncodeSessionEx(&params, &encoder);
        if (status == NV_ENC_SUCCESS) {
            const NVENCSTATUS closed = table.nvEncDestroyEncoder(encoder);
            if (closed != NV_ENC_SUCCESS) {
                report.fail(step_nvenc, what + ": session opened, nvEncDestroyEncoder returned " + status_text(closed));
                return SessionResult::failed;
            }
            report.ok(step_nvenc, what + ": session opened and closed");
            return SessionResult::opened;
        }
        if (status == NV_ENC_ERR_INVALID_VERSION && older_than(newest, api)) {
            report.skip(step_nvenc, what + ": nvEncOpenEncodeSessionEx returned " + status_text(status) +
                                        needs_newer_driver(api));
            return SessionResult::refused;
        }
        if (no_encoder_on_device(status)) {
            report.skip(step_nvenc, what + ": no NVENC session on this device (nvEncOpenEncodeSessionEx returned " +
                                        status_text(status) + "): it has no NVENC, or none free");
            return SessionResult::no_encoder;
        }
        report.fail(step_nvenc, what + ": nvEncOpenEncodeSessionEx returned " + status_text(status));
    } catch (const cuda::Error& e) {
        report.fail(step_nvenc, what + ": " + e.what());
    }
    return SessionResult::failed;
}

// Reports the newest API the library speaks.
NewestApiSeen report_newest_api(Report& report, const cuda::DynamicLibrary& library) {
    NewestApiSeen seen;
    try {
        const nvenc::NewestApi newest = nvenc::query_newest_api(library.symbol("NvEncodeAPIGetMaxSupportedVersion"));
        seen.entry_point = true;
        if (newest.status == NV_ENC_SUCCESS) {
            report.info(step_nvenc, "newest API the library speaks: " + nvenc::api_version_text(newest.version));
            seen.version = newest.version;
        } else {
            report.fail(step_nvenc, "NvEncodeAPIGetMaxSupportedVersion returned " +
                                        status_text(static_cast<NVENCSTATUS>(newest.status)));
        }
    } catch (const cuda::LibraryError&) {
        report.info(step_nvenc, "the library does not tell its newest API (no NvEncodeAPIGetMaxSupportedVersion)");
    }
    return seen;
}

// A function list the library did not make for one API. Refusing the version is a skip when the library is
// older than the API (its newest is lower, or it predates the query of it): that module needs a newer
// driver. Anything else is a failure, a refusal by a library that claims the API above all.
void report_refused_api(Report& report, std::uint32_t api, NVENCSTATUS status, const NewestApiSeen& newest) {
    const std::string what = "API " + nvenc::api_version_text(api) + ": NvEncodeAPICreateInstance returned " +
                             status_text(status);
    if (status == NV_ENC_ERR_INVALID_VERSION && older_than(newest, api))
        return report.skip(step_nvenc, what + needs_newer_driver(api));
    report.fail(step_nvenc, what + (status == NV_ENC_ERR_INVALID_VERSION ? " (the library refuses this API version)"
                                    : status                             ? ""
                                                                         : " without the session entry points"));
}

}  // namespace

std::vector<std::uint32_t> check_nvenc(Report& report, const DriverFound& found, const Options& options) {
    const cuda::LibraryNames names = names_to_check(options.nvenc_library, cuda::nvenc_library(cuda::native_windows));
    const auto opened = open_for_step(report, step_nvenc, "NVENC library", names, options.stand_ins);
    if (!opened) return {};
    const PlatformLibrary& nvenc = *opened;
    PNVENCODEAPICREATEINSTANCE create = nullptr;
    try {
        create = reinterpret_cast<PNVENCODEAPICREATEINSTANCE>(nvenc.library->symbol("NvEncodeAPICreateInstance"));
    } catch (const cuda::LibraryError& e) {
        report.fail(step_nvenc, nvenc.path + ": " + e.what());
        return {};
    }
    report.ok(step_nvenc, nvenc.name() + " is " + nvenc.path + library_detail(nvenc));
    const NewestApiSeen newest = report_newest_api(report, *nvenc.library);

    std::vector<std::uint32_t> usable;
    for (const nvenc::ApiBuild& build : nvenc::kApiBuilds) {
        const std::uint32_t api = build.word;
        NV_ENCODE_API_FUNCTION_LIST table;
        nvenc_reset(table, api);
        const NVENCSTATUS status = create(&table);
        if (status != NV_ENC_SUCCESS || !table.nvEncOpenEncodeSessionEx || !table.nvEncDestroyEncoder) {
            report_refused_api(report, api, status, newest);
            continue;
        }
        report.ok(step_nvenc, "API " + nvenc::api_version_text(api) + ": function list made (version word " +
                                  hex_word(nvenc_struct_version<NV_ENCODE_API_FUNCTION_LIST>(api)) + ")");
        int opened = 0, failed = 0;
        for (std::size_t d = 0; d < found.devices.size(); ++d) {
            const SessionResult result =
                open_session(report, table, found.devices[d], static_cast<int>(d), api, newest);
            opened += result == SessionResult::opened;
            failed += result == SessionResult::failed;
        }
        if (opened > 0 && failed == 0) usable.push_back(api);
    }
    return usable;
}

}  // namespace tevu::gpu_check
