// The library's entry points: NvEncodeAPICreateInstance and the table it fills, for clients of API 4.0, 5.0
// and 12.0. Every call counts against NVENC_EMU_FAIL under its name in entry_names.h, is checked for null
// pointers, unknown handles and structure versions, and leaves one line in the NVENC_EMU_TRACE file.
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "catalogue.h"
#include "controls.h"
#include "device_memory.h"
#include "entry_names.h"
#include "nvenc_api.h"
#include "session.h"
#include "standin_export.h"
#include "trace.h"
#include "versions.h"

namespace tevu::standin::nvenc {
namespace {

struct Library {
    std::mutex mutex;  // guards every member
    FailureInjector injector;
    bool memory_opened = false;
    std::unique_ptr<DeviceMemory> memory;
    std::map<void*, std::shared_ptr<Session>> sessions;
};

Library& library() {
    // Never destroyed: a client's thread may still be inside an entry point while the process exits.
    static Library* instance = new Library;
    return *instance;
}

// Runs one entry point: the injected failure if any, else the body; exceptions never leave.
template <typename Body>
NVENCSTATUS entry(Entry which, Body&& body) {
    const char* name = entry_name(which);
    Library& lib = library();
    TraceLine trace(name);
    const Controls controls = controls_from_environment();
    int injected;
    {
        std::lock_guard<std::mutex> lock(lib.mutex);
        lib.injector.set_rules(controls.failures);
        injected = lib.injector.next_call(name);
    }
    NVENCSTATUS status;
    if (injected) {
        status = static_cast<NVENCSTATUS>(injected);
        trace.add("injected", 1);
    } else {
        try {
            status = body(controls, trace);
        } catch (const std::bad_alloc&) {
            status = NV_ENC_ERR_OUT_OF_MEMORY;
        } catch (...) {
            status = NV_ENC_ERR_GENERIC;
        }
    }
    trace.add("status", status);
    append_trace(controls.trace_path, trace);
    return status;
}

std::shared_ptr<Session> find_session(void* handle) {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    const auto it = lib.sessions.find(handle);
    return it == lib.sessions.end() ? nullptr : it->second;
}

// The open session a handle names, held for `body`; a null handle or an unknown one is refused.
template <typename Body>
NVENCSTATUS with_session(void* encoder, TraceLine& trace, Body&& body) {
    if (!encoder)
        return NV_ENC_ERR_INVALID_PTR;
    const std::shared_ptr<Session> session = find_session(encoder);
    if (!session)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    trace.add_hex("api", session->api());
    std::lock_guard<std::mutex> lock(session->mutex());
    return body(*session);
}

// An entry point on a session. A failure, injected ones included, becomes the session's last error.
template <typename Body>
NVENCSTATUS session_entry(Entry which, void* encoder, Body&& body) {
    bool ran = false;
    const NVENCSTATUS status = entry(which, [&](const Controls& controls, TraceLine& trace) -> NVENCSTATUS {
        ran = true;
        return with_session(encoder, trace, [&](Session& session) {
            const NVENCSTATUS s = body(session, controls, trace);
            if (s != NV_ENC_SUCCESS)
                session.record_failure(entry_name(which), s);
            return s;
        });
    });
    if (!ran && status != NV_ENC_SUCCESS) {
        if (const std::shared_ptr<Session> session = encoder ? find_session(encoder) : nullptr) {
            std::lock_guard<std::mutex> lock(session->mutex());
            session->refuse(status, "failure injected by NVENC_EMU_FAIL");
            session->record_failure(entry_name(which), status);
        }
    }
    return status;
}

// A structure argument: present, and with the version word of the session's API.
template <typename T>
NVENCSTATUS check_structure(const T* s, uint32_t api, TraceLine& trace) {
    if (!s)
        return NV_ENC_ERR_INVALID_PTR;
    trace.add_hex("version", s->version);
    return has_version(*s, api) ? NV_ENC_SUCCESS : NV_ENC_ERR_INVALID_VERSION;
}

#define TEVU_STANDIN_REQUIRE(expr)                  \
    do {                                            \
        const NVENCSTATUS required_status = (expr); \
        if (required_status != NV_ENC_SUCCESS)      \
            return required_status;                 \
    } while (0)

// Copies up to `capacity` items of a list into the client's array and reports how many.
template <typename T>
NVENCSTATUS answer_list(const std::vector<T>& items, T* out, uint32_t capacity, uint32_t* count) {
    if (!out || !count)
        return NV_ENC_ERR_INVALID_PTR;
    uint32_t n = 0;
    for (; n < capacity && n < items.size(); ++n)
        out[n] = items[n];
    *count = n;
    return NV_ENC_SUCCESS;
}

// The number of items of a list; one too many for the count queries named in NVENC_EMU_OVERCOUNT (a
// driver whose count and list disagree).
NVENCSTATUS answer_count(size_t items, uint32_t* count, const Controls& controls, Entry query) {
    if (!count)
        return NV_ENC_ERR_INVALID_PTR;
    *count = static_cast<uint32_t>(items + controls.overcount.count(entry_name(query)));
    return NV_ENC_SUCCESS;
}

// The session's codec, or the status for an unknown one.
NVENCSTATUS known_codec(const GUID& guid, Codec& codec, TraceLine& trace) {
    trace.add("codec", guid_text(guid));
    const std::optional<Codec> c = codec_of(guid);
    if (!c)
        return NV_ENC_ERR_INVALID_PARAM;
    codec = *c;
    return NV_ENC_SUCCESS;
}

template <uint32_t Api>
NVENCSTATUS NVENCAPI open_session_ex(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params, void** encoder) {
    return entry(Entry::nvEncOpenEncodeSessionEx, [&](const Controls& controls, TraceLine& trace) -> NVENCSTATUS {
        trace.add_hex("api", Api);
        if (!encoder)
            return NV_ENC_ERR_INVALID_PTR;
        *encoder = nullptr;
        TEVU_STANDIN_REQUIRE(check_structure(params, Api, trace));
        trace.add_hex("api_version", params->apiVersion).add("device_type", params->deviceType);
        if (params->apiVersion != nvenc_api_word(Api) || Api > controls.max_api)
            return NV_ENC_ERR_INVALID_VERSION;
        if (params->deviceType != NV_ENC_DEVICE_TYPE_CUDA)
            return NV_ENC_ERR_UNSUPPORTED_DEVICE;
        if (!params->device)
            return NV_ENC_ERR_INVALID_DEVICE;
        Library& lib = library();
        DeviceMemory* memory;
        {
            std::lock_guard<std::mutex> lock(lib.mutex);
            if (!lib.memory_opened) {
                lib.memory = open_cuda_driver();
                lib.memory_opened = true;
            }
            memory = lib.memory.get();
        }
        if (!memory)
            return NV_ENC_ERR_NO_ENCODE_DEVICE;
        const std::optional<int> device = memory->device_of(params->device);
        if (!device)
            return NV_ENC_ERR_INVALID_DEVICE;
        std::lock_guard<std::mutex> lock(lib.mutex);
        unsigned open = 0;
        for (const auto& s : lib.sessions)
            open += s.second->device() == *device ? 1 : 0;
        trace.add("device", *device).add("open_sessions", open);
        if (open >= controls.max_sessions)
            return NV_ENC_ERR_UNSUPPORTED_DEVICE;
        auto session = std::make_shared<Session>(
            Api, params->device, *device, *memory,
            Offer{controls.capabilities, controls.extra_preset, Api, controls.legacy_presets});
        *encoder = session.get();
        lib.sessions.emplace(session.get(), std::move(session));
        return NV_ENC_SUCCESS;
    });
}

NVENCSTATUS NVENCAPI destroy_encoder(void* encoder) {
    const NVENCSTATUS status = session_entry(Entry::nvEncDestroyEncoder, encoder, [](Session&, const Controls&, TraceLine&) {
        return NV_ENC_SUCCESS;
    });
    if (status == NV_ENC_SUCCESS) {
        Library& lib = library();
        std::lock_guard<std::mutex> lock(lib.mutex);
        lib.sessions.erase(encoder);  // a call still running on another thread keeps its own reference
    }
    return status;
}

NVENCSTATUS NVENCAPI get_encode_guid_count(void* encoder, uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodeGUIDCount, encoder, [&](Session&, const Controls& controls, TraceLine&) {
        return answer_count(codec_guids().size(), count, controls, Entry::nvEncGetEncodeGUIDCount);
    });
}

NVENCSTATUS NVENCAPI get_encode_guids(void* encoder, GUID* guids, uint32_t capacity, uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodeGUIDs, encoder, [&](Session&, const Controls&, TraceLine&) {
        return answer_list(codec_guids(), guids, capacity, count);
    });
}

NVENCSTATUS NVENCAPI get_profile_guid_count(void* encoder, GUID codec_guid, uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodeProfileGUIDCount, encoder, [&](Session&, const Controls& controls, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(codec_guid, codec, trace));
        return answer_count(profile_guids(codec).size(), count, controls, Entry::nvEncGetEncodeProfileGUIDCount);
    });
}

NVENCSTATUS NVENCAPI get_profile_guids(void* encoder, GUID codec_guid, GUID* guids, uint32_t capacity,
                                       uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodeProfileGUIDs, encoder, [&](Session&, const Controls&, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(codec_guid, codec, trace));
        return answer_list(profile_guids(codec), guids, capacity, count);
    });
}

NVENCSTATUS NVENCAPI get_input_format_count(void* encoder, GUID codec_guid, uint32_t* count) {
    return session_entry(Entry::nvEncGetInputFormatCount, encoder, [&](Session& s, const Controls& controls, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(codec_guid, codec, trace));
        return answer_count(input_formats(s.offer(), codec).size(), count, controls, Entry::nvEncGetInputFormatCount);
    });
}

NVENCSTATUS NVENCAPI get_input_formats(void* encoder, GUID codec_guid, NV_ENC_BUFFER_FORMAT* formats,
                                       uint32_t capacity, uint32_t* count) {
    return session_entry(Entry::nvEncGetInputFormats, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(codec_guid, codec, trace));
        return answer_list(input_formats(s.offer(), codec), formats, capacity, count);
    });
}

NVENCSTATUS NVENCAPI get_encode_caps(void* encoder, GUID codec_guid, NV_ENC_CAPS_PARAM* query, int* value) {
    return session_entry(Entry::nvEncGetEncodeCaps, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        TEVU_STANDIN_REQUIRE(check_structure(query, s.api(), trace));
        if (!value)
            return NV_ENC_ERR_INVALID_PTR;
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(codec_guid, codec, trace));
        trace.add("cap", query->capsToQuery);
        std::optional<int> answer = capability_value(s.offer(), query->capsToQuery);
        if (!answer)
            return NV_ENC_ERR_INVALID_PARAM;
        if (codec == Codec::Hevc && (query->capsToQuery == NV_ENC_CAPS_SUPPORT_YUV444_ENCODE ||
                                     query->capsToQuery == NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE))
            answer = 0;
        *value = *answer;
        trace.add("value", *answer);
        return NV_ENC_SUCCESS;
    });
}

std::vector<GUID> preset_guids(const Offer& offer, Codec codec) {
    std::vector<GUID> guids;
    for (const Preset& p : presets(offer, codec))
        guids.push_back(p.guid);
    return guids;
}

NVENCSTATUS NVENCAPI get_preset_count(void* encoder, GUID codec_guid, uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodePresetCount, encoder, [&](Session& s, const Controls& controls, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(codec_guid, codec, trace));
        return answer_count(presets(s.offer(), codec).size(), count, controls, Entry::nvEncGetEncodePresetCount);
    });
}

NVENCSTATUS NVENCAPI get_preset_guids(void* encoder, GUID codec_guid, GUID* guids, uint32_t capacity,
                                      uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodePresetGUIDs, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(codec_guid, codec, trace));
        return answer_list(preset_guids(s.offer(), codec), guids, capacity, count);
    });
}

// A preset's configuration with the tuning given (UNDEFINED: the call without Ex).
NVENCSTATUS answer_preset_config(Session& s, const GUID& codec_guid, const GUID& preset_guid,
                                 NV_ENC_TUNING_INFO tuning, NV_ENC_PRESET_CONFIG* config, TraceLine& trace) {
    TEVU_STANDIN_REQUIRE(check_structure(config, s.api(), trace));
    trace.add_hex("config_version", config->presetCfg.version);
    if (!has_version(config->presetCfg, s.api()))
        return NV_ENC_ERR_INVALID_VERSION;
    Codec codec;
    TEVU_STANDIN_REQUIRE(known_codec(codec_guid, codec, trace));
    trace.add("preset", guid_text(preset_guid));
    const std::optional<Preset> preset = find_preset(s.offer(), codec, preset_guid);
    if (!preset)
        return s.refuse(NV_ENC_ERR_INVALID_PARAM, "preset " + guid_text(preset_guid) + " is not offered");
    config->presetCfg = preset_configuration(codec, *preset, s.api(), tuning);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI get_preset_config(void* encoder, GUID codec_guid, GUID preset_guid, NV_ENC_PRESET_CONFIG* config) {
    return session_entry(Entry::nvEncGetEncodePresetConfig, encoder, [&](Session& s, const Controls& controls, TraceLine& trace) {
        if (!controls.legacy_presets)
            return s.refuse(NV_ENC_ERR_INVALID_PARAM, "not answered from driver 590 on: use nvEncGetEncodePresetConfigEx");
        return answer_preset_config(s, codec_guid, preset_guid, NV_ENC_TUNING_INFO_UNDEFINED, config, trace);
    });
}

NVENCSTATUS NVENCAPI get_preset_config_ex(void* encoder, GUID codec_guid, GUID preset_guid, NV_ENC_TUNING_INFO tuning,
                                          NV_ENC_PRESET_CONFIG* config) {
    return session_entry(Entry::nvEncGetEncodePresetConfigEx, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        trace.add("tuning", tuning);
        if (!known_tuning(tuning))
            return s.refuse(NV_ENC_ERR_INVALID_PARAM, "tuningInfo must be 1 to 4");
        const std::optional<Codec> codec = codec_of(codec_guid);
        if (codec && !tuning_offered(s.offer(), *codec, tuning))
            return s.refuse(NV_ENC_ERR_UNSUPPORTED_PARAM, "lossless encoding is not offered for this codec");
        return answer_preset_config(s, codec_guid, preset_guid, tuning, config, trace);
    });
}

// The session's last error; null for an unknown session or when NVENC_EMU_FAIL makes the call fail.
const char* NVENCAPI get_last_error_string(void* encoder) {
    const char* text = nullptr;
    entry(Entry::nvEncGetLastErrorString, [&](const Controls&, TraceLine& trace) {
        return with_session(encoder, trace, [&](Session& s) {
            text = s.last_error();
            trace.add("text", std::string("'") + text + "'");
            return NV_ENC_SUCCESS;
        });
    });
    return text;
}

NVENCSTATUS NVENCAPI initialize_encoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* params) {
    return session_entry(Entry::nvEncInitializeEncoder, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        TEVU_STANDIN_REQUIRE(check_structure(params, s.api(), trace));
        return s.initialize(*params, trace);
    });
}

NVENCSTATUS NVENCAPI reconfigure_encoder(void* encoder, NV_ENC_RECONFIGURE_PARAMS* params) {
    return session_entry(Entry::nvEncReconfigureEncoder, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        TEVU_STANDIN_REQUIRE(check_structure(params, s.api(), trace));
        return s.reconfigure(*params, trace);
    });
}

NVENCSTATUS NVENCAPI register_resource(void* encoder, NV_ENC_REGISTER_RESOURCE* params) {
    return session_entry(Entry::nvEncRegisterResource, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        TEVU_STANDIN_REQUIRE(check_structure(params, s.api(), trace));
        return s.register_resource(*params, trace);
    });
}

NVENCSTATUS NVENCAPI unregister_resource(void* encoder, NV_ENC_REGISTERED_PTR resource) {
    return session_entry(Entry::nvEncUnregisterResource, encoder, [&](Session& s, const Controls&, TraceLine&) {
        return s.unregister_resource(resource);
    });
}

NVENCSTATUS NVENCAPI map_input_resource(void* encoder, NV_ENC_MAP_INPUT_RESOURCE* params) {
    return session_entry(Entry::nvEncMapInputResource, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        TEVU_STANDIN_REQUIRE(check_structure(params, s.api(), trace));
        return s.map(*params);
    });
}

NVENCSTATUS NVENCAPI unmap_input_resource(void* encoder, NV_ENC_INPUT_PTR mapped) {
    return session_entry(Entry::nvEncUnmapInputResource, encoder, [&](Session& s, const Controls&, TraceLine&) {
        return s.unmap(mapped);
    });
}

NVENCSTATUS NVENCAPI create_bitstream_buffer(void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* params) {
    return session_entry(Entry::nvEncCreateBitstreamBuffer, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        TEVU_STANDIN_REQUIRE(check_structure(params, s.api(), trace));
        trace.add("size", params->size);
        return s.create_bitstream(*params);
    });
}

NVENCSTATUS NVENCAPI destroy_bitstream_buffer(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    return session_entry(Entry::nvEncDestroyBitstreamBuffer, encoder, [&](Session& s, const Controls&, TraceLine&) {
        return s.destroy_bitstream(buffer);
    });
}

NVENCSTATUS NVENCAPI encode_picture(void* encoder, NV_ENC_PIC_PARAMS* picture) {
    return session_entry(Entry::nvEncEncodePicture, encoder, [&](Session& s, const Controls& controls, TraceLine& trace) {
        // The APIs' layouts share their leading members, which are all the stand-in reads but API 4.0's
        // rate control; the version word says which one came.
        if (s.api() == NVENC_API_V4)
            TEVU_STANDIN_REQUIRE(
                check_structure(reinterpret_cast<const NV_ENC_PIC_PARAMS_V4*>(picture), s.api(), trace));
        else if (s.api() == NVENC_API_V12)
            TEVU_STANDIN_REQUIRE(
                check_structure(reinterpret_cast<const NV_ENC_PIC_PARAMS_V12*>(picture), s.api(), trace));
        else
            TEVU_STANDIN_REQUIRE(check_structure(picture, s.api(), trace));
        PictureEnvironment env;
        env.null_encode = controls.null_encode;
        return s.encode(*picture, env, trace);
    });
}

NVENCSTATUS NVENCAPI lock_bitstream(void* encoder, NV_ENC_LOCK_BITSTREAM* params) {
    return session_entry(Entry::nvEncLockBitstream, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        TEVU_STANDIN_REQUIRE(check_structure(params, s.api(), trace));
        return s.lock(*params);
    });
}

NVENCSTATUS NVENCAPI unlock_bitstream(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    return session_entry(Entry::nvEncUnlockBitstream, encoder, [&](Session& s, const Controls&, TraceLine&) {
        return s.unlock(buffer);
    });
}

// The table's other slots: entry points of these API versions that the stand-in does not offer.
NVENCSTATUS NVENCAPI open_session(void*, uint32_t, void**) {
    return entry(Entry::nvEncOpenEncodeSession, [](const Controls&, TraceLine&) { return NV_ENC_ERR_UNIMPLEMENTED; });
}

template <Entry Which, typename... Args>
NVENCSTATUS NVENCAPI not_offered(void* encoder, Args...) {
    return session_entry(Which, encoder, [](Session&, const Controls&, TraceLine&) {
        return NV_ENC_ERR_UNIMPLEMENTED;
    });
}

PNVENCOPENENCODESESSIONEX session_opener(uint32_t api) {
    switch (api) {
    case NVENC_API_V4: return open_session_ex<NVENC_API_V4>;
    case NVENC_API_V12: return open_session_ex<NVENC_API_V12>;
    default: return open_session_ex<NVENC_API_V5>;
    }
}

// The table of an API: the slots of API 5.0 (4.0 has the same), and for API 12.0 two more. The other
// slots are the client's: an older client's reserved space is left as it is.
void fill(NV_ENCODE_API_FUNCTION_LIST& t, uint32_t api) {
    t.nvEncOpenEncodeSession = open_session;
    t.nvEncGetEncodeGUIDCount = get_encode_guid_count;
    t.nvEncGetEncodeProfileGUIDCount = get_profile_guid_count;
    t.nvEncGetEncodeProfileGUIDs = get_profile_guids;
    t.nvEncGetEncodeGUIDs = get_encode_guids;
    t.nvEncGetInputFormatCount = get_input_format_count;
    t.nvEncGetInputFormats = get_input_formats;
    t.nvEncGetEncodeCaps = get_encode_caps;
    t.nvEncGetEncodePresetCount = get_preset_count;
    t.nvEncGetEncodePresetGUIDs = get_preset_guids;
    t.nvEncGetEncodePresetConfig = get_preset_config;
    t.nvEncInitializeEncoder = initialize_encoder;
    t.nvEncCreateInputBuffer = not_offered<Entry::nvEncCreateInputBuffer, NV_ENC_CREATE_INPUT_BUFFER*>;
    t.nvEncDestroyInputBuffer = not_offered<Entry::nvEncDestroyInputBuffer, NV_ENC_INPUT_PTR>;
    t.nvEncCreateBitstreamBuffer = create_bitstream_buffer;
    t.nvEncDestroyBitstreamBuffer = destroy_bitstream_buffer;
    t.nvEncEncodePicture = encode_picture;
    t.nvEncLockBitstream = lock_bitstream;
    t.nvEncUnlockBitstream = unlock_bitstream;
    t.nvEncLockInputBuffer = not_offered<Entry::nvEncLockInputBuffer, NV_ENC_LOCK_INPUT_BUFFER*>;
    t.nvEncUnlockInputBuffer = not_offered<Entry::nvEncUnlockInputBuffer, NV_ENC_INPUT_PTR>;
    t.nvEncGetEncodeStats = not_offered<Entry::nvEncGetEncodeStats, NV_ENC_STAT*>;
    t.nvEncGetSequenceParams = not_offered<Entry::nvEncGetSequenceParams, NV_ENC_SEQUENCE_PARAM_PAYLOAD*>;
    t.nvEncRegisterAsyncEvent = not_offered<Entry::nvEncRegisterAsyncEvent, NV_ENC_EVENT_PARAMS*>;
    t.nvEncUnregisterAsyncEvent = not_offered<Entry::nvEncUnregisterAsyncEvent, NV_ENC_EVENT_PARAMS*>;
    t.nvEncMapInputResource = map_input_resource;
    t.nvEncUnmapInputResource = unmap_input_resource;
    t.nvEncDestroyEncoder = destroy_encoder;
    t.nvEncInvalidateRefFrames = not_offered<Entry::nvEncInvalidateRefFrames, uint64_t>;
    t.nvEncOpenEncodeSessionEx = session_opener(api);
    t.nvEncRegisterResource = register_resource;
    t.nvEncUnregisterResource = unregister_resource;
    t.nvEncReconfigureEncoder = reconfigure_encoder;
    if (api < NVENC_API_V12)
        return;
    t.nvEncGetLastErrorString = get_last_error_string;
    t.nvEncGetEncodePresetConfigEx = get_preset_config_ex;
}

// Whether a driver whose newest API is `newest` takes a function table of `api`. NVIDIA's drivers with
// API 9.0 to 11.1 (418 to 470) take API 12.0's table and refuse only its session; older ones refuse it.
bool table_accepted(uint32_t api, uint32_t newest) {
    constexpr uint32_t kOldestTakingV12Tables = 0x90;
    if (api == NVENC_API_V12)
        return newest >= kOldestTakingV12Tables;
    return (api == NVENC_API_V4 || api == NVENC_API_V5) && api <= newest;
}

}  // namespace
}  // namespace tevu::standin::nvenc

TEVU_STANDIN_EXPORT NVENCSTATUS NVENCAPI
NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
    using namespace tevu::standin::nvenc;
    return entry(Entry::NvEncodeAPICreateInstance, [&](const Controls& controls, TraceLine& trace) -> NVENCSTATUS {
        if (!list)
            return NV_ENC_ERR_INVALID_PTR;
        const uint32_t api = nvenc_word_api(list->version);
        trace.add_hex("api", api).add_hex("version", list->version);
        if (!table_accepted(api, controls.max_api) || !has_version(*list, api))
            return NV_ENC_ERR_INVALID_VERSION;
        fill(*list, api);
        return NV_ENC_SUCCESS;
    });
}

// The newest API this library speaks, as major << 4 | minor (NVENC_EMU_MAX_API).
TEVU_STANDIN_EXPORT NVENCSTATUS NVENCAPI
NvEncodeAPIGetMaxSupportedVersion(uint32_t* version) {
    using namespace tevu::standin::nvenc;
    return entry(Entry::NvEncodeAPIGetMaxSupportedVersion, [&](const Controls& controls, TraceLine& trace) -> NVENCSTATUS {
        if (!version)
            return NV_ENC_ERR_INVALID_PTR;
        *version = controls.max_api;
        trace.add_hex("api", controls.max_api);
        return NV_ENC_SUCCESS;
    });
}

// Tells tools that look for NVIDIA's library that this one stands in for it.
TEVU_STANDIN_EXPORT const char tevu_platform_standin[] = "NVENC stand-in (libx264)";
