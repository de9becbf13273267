// The library's entry points: NvEncodeAPICreateInstance and the table it fills, for clients of API 4.0, 5.0
// and 12.0. Every call counts against NVENC_EMU_FAIL under its name in entry_names.h, is checked for null
// pointers, unknown handles and structure versions, and leaves one line in the NVENC_EMU_TRACE file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

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

// The handle of an open that the session limit refused. Like a driver, the library hands one out with
// the refusal; until the client destroys it, it keeps its session's place on the device.
struct RefusedOpen {
    int device;
    uint32_t api;
};

struct Library {
    std::mutex mutex;  // guards every member
    FailureInjector injector;
    bool memory_opened = false;
    std::unique_ptr<DeviceMemory> memory;
    std::map<void*, std::shared_ptr<Session>> sessions;
    std::map<void*, std::unique_ptr<RefusedOpen>> refused;
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

// A codec the session lists, or the status for another one.
NVENCSTATUS known_codec(const Offer& offer, const GUID& guid, Codec& codec, TraceLine& trace) {
    trace.add("codec", guid_text(guid));
    const std::optional<Codec> c = codec_of(guid);
    const std::vector<Codec> listed = offer.codecs();
    if (!c || std::find(listed.begin(), listed.end(), *c) == listed.end())
        return NV_ENC_ERR_INVALID_PARAM;
    codec = *c;
    return NV_ENC_SUCCESS;
}

std::vector<GUID> codec_guids(const Offer& offer) {
    std::vector<GUID> guids;
    for (Codec codec : offer.codecs())
        guids.push_back(guid_of(codec));
    return guids;
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
        for (const auto& r : lib.refused)
            open += r.second->device == *device ? 1 : 0;
        trace.add("device", *device).add("open_sessions", open);
        if (open >= controls.max_sessions) {
            auto refused = std::make_unique<RefusedOpen>(RefusedOpen{*device, Api});
            *encoder = refused.get();
            lib.refused.emplace(refused.get(), std::move(refused));
            return static_cast<NVENCSTATUS>(controls.session_limit_status);
        }
        auto session = std::make_shared<Session>(
            Api, params->device, *device, *memory,
            Offer{controls.capabilities, controls.extra_preset, Api, controls.legacy_presets, controls.codecs});
        *encoder = session.get();
        lib.sessions.emplace(session.get(), std::move(session));
        return NV_ENC_SUCCESS;
    });
}

// Forgets the handle of a refused open; false when `encoder` is none.
bool forget_refused_open(void* encoder) {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    return lib.refused.erase(encoder) > 0;
}

bool is_refused_open(void* encoder) {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    return lib.refused.count(encoder) > 0;
}

NVENCSTATUS NVENCAPI destroy_encoder(void* encoder) {
    if (encoder && is_refused_open(encoder)) {
        return entry(Entry::nvEncDestroyEncoder, [&](const Controls&, TraceLine& trace) {
            trace.add("refused_open", 1);
            return forget_refused_open(encoder) ? NV_ENC_SUCCESS : NV_ENC_ERR_INVALID_ENCODERDEVICE;
        });
    }
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
    return session_entry(Entry::nvEncGetEncodeGUIDCount, encoder, [&](Session& s, const Controls& controls, TraceLine&) {
        return answer_count(s.offer().codecs().size(), count, controls, Entry::nvEncGetEncodeGUIDCount);
    });
}

NVENCSTATUS NVENCAPI get_encode_guids(void* encoder, GUID* guids, uint32_t capacity, uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodeGUIDs, encoder, [&](Session& s, const Controls&, TraceLine&) {
        return answer_list(codec_guids(s.offer()), guids, capacity, count);
    });
}

NVENCSTATUS NVENCAPI get_profile_guid_count(void* encoder, GUID codec_guid, uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodeProfileGUIDCount, encoder, [&](Session& s, const Controls& controls, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(s.offer(), codec_guid, codec, trace));
        return answer_count(profile_guids(codec).size(), count, controls, Entry::nvEncGetEncodeProfileGUIDCount);
    });
}

NVENCSTATUS NVENCAPI get_profile_guids(void* encoder, GUID codec_guid, GUID* guids, uint32_t capacity,
                                       uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodeProfileGUIDs, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(s.offer(), codec_guid, codec, trace));
        return answer_list(profile_guids(codec), guids, capacity, count);
    });
}

NVENCSTATUS NVENCAPI get_input_format_count(void* encoder, GUID codec_guid, uint32_t* count) {
    return session_entry(Entry::nvEncGetInputFormatCount, encoder, [&](Session& s, const Controls& controls, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(s.offer(), codec_guid, codec, trace));
        return answer_count(input_formats(s.offer(), codec).size(), count, controls, Entry::nvEncGetInputFormatCount);
    });
}

NVENCSTATUS NVENCAPI get_input_formats(void* encoder, GUID codec_guid, NV_ENC_BUFFER_FORMAT* formats,
                                       uint32_t capacity, uint32_t* count) {
    return session_entry(Entry::nvEncGetInputFormats, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(s.offer(), codec_guid, codec, trace));
        return answer_list(input_formats(s.offer(), codec), formats, capacity, count);
    });
}

NVENCSTATUS NVENCAPI get_encode_caps(void* encoder, GUID codec_guid, NV_ENC_CAPS_PARAM* query, int* value) {
    return session_entry(Entry::nvEncGetEncodeCaps, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        TEVU_STANDIN_REQUIRE(check_structure(query, s.api(), trace));
        if (!value)
            return NV_ENC_ERR_INVALID_PTR;
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(s.offer(), codec_guid, codec, trace));
        trace.add("cap", query->capsToQuery);
        const std::optional<int> answer = capability_value(s.offer(), query->capsToQuery, codec);
        if (!answer)
            return NV_ENC_ERR_INVALID_PARAM;
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
        TEVU_STANDIN_REQUIRE(known_codec(s.offer(), codec_guid, codec, trace));
        return answer_count(presets(s.offer(), codec).size(), count, controls, Entry::nvEncGetEncodePresetCount);
    });
}

NVENCSTATUS NVENCAPI get_preset_guids(void* encoder, GUID codec_guid, GUID* guids, uint32_t capacity,
                                      uint32_t* count) {
    return session_entry(Entry::nvEncGetEncodePresetGUIDs, encoder, [&](Session& s, const Controls&, TraceLine& trace) {
        Codec codec;
        TEVU_STANDIN_REQUIRE(known_codec(s.offer(), codec_guid, codec, trace));
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
    TEVU_STANDIN_REQUIRE(known_codec(s.offer(), codec_guid, codec, trace));
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

// Fills one slot of the table, or leaves it empty when NVENC_EMU_EMPTY_SLOTS names it.
template <class Slot, class Function>
void fill_slot(Slot& slot, Function function, Entry which, const std::set<std::string>& empty) {
    slot = empty.count(entry_name(which)) ? nullptr : function;
}
#define TEVU_STANDIN_SLOT(name, ...) fill_slot(t.name, __VA_ARGS__, Entry::name, empty)

// The table of an API: the slots of API 5.0 (4.0 has the same), and for API 12.0 two more. The other
// slots are the client's: an older client's reserved space is left as it is.
void fill(NV_ENCODE_API_FUNCTION_LIST& t, uint32_t api, const std::set<std::string>& empty) {
    TEVU_STANDIN_SLOT(nvEncOpenEncodeSession, open_session);
    TEVU_STANDIN_SLOT(nvEncGetEncodeGUIDCount, get_encode_guid_count);
    TEVU_STANDIN_SLOT(nvEncGetEncodeProfileGUIDCount, get_profile_guid_count);
    TEVU_STANDIN_SLOT(nvEncGetEncodeProfileGUIDs, get_profile_guids);
    TEVU_STANDIN_SLOT(nvEncGetEncodeGUIDs, get_encode_guids);
    TEVU_STANDIN_SLOT(nvEncGetInputFormatCount, get_input_format_count);
    TEVU_STANDIN_SLOT(nvEncGetInputFormats, get_input_formats);
    TEVU_STANDIN_SLOT(nvEncGetEncodeCaps, get_encode_caps);
    TEVU_STANDIN_SLOT(nvEncGetEncodePresetCount, get_preset_count);
    TEVU_STANDIN_SLOT(nvEncGetEncodePresetGUIDs, get_preset_guids);
    TEVU_STANDIN_SLOT(nvEncGetEncodePresetConfig, get_preset_config);
    TEVU_STANDIN_SLOT(nvEncInitializeEncoder, initialize_encoder);
    TEVU_STANDIN_SLOT(nvEncCreateInputBuffer, not_offered<Entry::nvEncCreateInputBuffer, NV_ENC_CREATE_INPUT_BUFFER*>);
    TEVU_STANDIN_SLOT(nvEncDestroyInputBuffer, not_offered<Entry::nvEncDestroyInputBuffer, NV_ENC_INPUT_PTR>);
    TEVU_STANDIN_SLOT(nvEncCreateBitstreamBuffer, create_bitstream_buffer);
    TEVU_STANDIN_SLOT(nvEncDestroyBitstreamBuffer, destroy_bitstream_buffer);
    TEVU_STANDIN_SLOT(nvEncEncodePicture, encode_picture);
    TEVU_STANDIN_SLOT(nvEncLockBitstream, lock_bitstream);
    TEVU_STANDIN_SLOT(nvEncUnlockBitstream, unlock_bitstream);
    TEVU_STANDIN_SLOT(nvEncLockInputBuffer, not_offered<Entry::nvEncLockInputBuffer, NV_ENC_LOCK_INPUT_BUFFER*>);
    TEVU_STANDIN_SLOT(nvEncUnlockInputBuffer, not_offered<Entry::nvEncUnlockInputBuffer, NV_ENC_INPUT_PTR>);
    TEVU_STANDIN_SLOT(nvEncGetEncodeStats, not_offered<Entry::nvEncGetEncodeStats, NV_ENC_STAT*>);
    TEVU_STANDIN_SLOT(nvEncGetSequenceParams, not_offered<Entry::nvEncGetSequenceParams, NV_ENC_SEQUENCE_PARAM_PAYLOAD*>);
    TEVU_STANDIN_SLOT(nvEncRegisterAsyncEvent, not_offered<Entry::nvEncRegisterAsyncEvent, NV_ENC_EVENT_PARAMS*>);
    TEVU_STANDIN_SLOT(nvEncUnregisterAsyncEvent, not_offered<Entry::nvEncUnregisterAsyncEvent, NV_ENC_EVENT_PARAMS*>);
    TEVU_STANDIN_SLOT(nvEncMapInputResource, map_input_resource);
    TEVU_STANDIN_SLOT(nvEncUnmapInputResource, unmap_input_resource);
    TEVU_STANDIN_SLOT(nvEncDestroyEncoder, destroy_encoder);
    TEVU_STANDIN_SLOT(nvEncInvalidateRefFrames, not_offered<Entry::nvEncInvalidateRefFrames, uint64_t>);
    TEVU_STANDIN_SLOT(nvEncOpenEncodeSessionEx, session_opener(api));
    TEVU_STANDIN_SLOT(nvEncRegisterResource, register_resource);
    TEVU_STANDIN_SLOT(nvEncUnregisterResource, unregister_resource);
    TEVU_STANDIN_SLOT(nvEncReconfigureEncoder, reconfigure_encoder);
    if (api < NVENC_API_V12)
        return;
    TEVU_STANDIN_SLOT(nvEncGetLastErrorString, get_last_error_string);
    TEVU_STANDIN_SLOT(nvEncGetEncodePresetConfigEx, get_preset_config_ex);
}
#undef TEVU_STANDIN_SLOT

// Whether a driver whose newest API is `newest` takes a function table of `api`. NVIDIA's drivers with
// API 9.0 to 11.1 (418 to 470) take API 12.0's table and refuse only its session; older ones refuse it.
bool table_accepted(uint32_t api, uint32_t newest) {
    constexpr uint32_t kOldestTakingV12Tables = 0x90;
    if (api == NVENC_API_V12)
        return newest >= kOldestTakingV12Tables;
    return (api == NVENC_API_V4 || api == NVENC_API_V5) && api <= newest;
}

std::string api_text(uint32_t api) { return std::to_string(api >> 4) + "." + std::to_string(api & 0xF); }

std::string hex_text(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// The leak report, written at process exit with NVENC_EMU_REPORT=1 on standard error: the summary
//   NVENC_EMU_REPORT: leaks=<n> sessions=<n> refused_opens=<n>
// then one "NVENC_EMU_LEAK: ..." line for each session, and each handle of a refused open, that the client
// never destroyed.
void write_report() {
    const char* wanted = std::getenv("NVENC_EMU_REPORT");
    if (!wanted || std::string(wanted) != "1")
        return;
    Library& lib = library();
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(lib.mutex);
        for (const auto& [handle, session] : lib.sessions)
            lines.push_back("NVENC_EMU_LEAK: session " + hex_text(handle) + " on device " +
                            std::to_string(session->device()) + " (API " + api_text(session->api()) + ")");
        for (const auto& [handle, refused] : lib.refused)
            lines.push_back("NVENC_EMU_LEAK: refused open " + hex_text(handle) + " on device " +
                            std::to_string(refused->device) + " (API " + api_text(refused->api) +
                            "), never destroyed");
        lines.insert(lines.begin(), "NVENC_EMU_REPORT: leaks=" + std::to_string(lib.sessions.size() + lib.refused.size()) +
                                        " sessions=" + std::to_string(lib.sessions.size()) +
                                        " refused_opens=" + std::to_string(lib.refused.size()));
    }
    for (const std::string& line : lines)
        std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// Writes the report when the process ends (the library's state outlives this object).
struct ReportAtExit {
    ~ReportAtExit() { write_report(); }
} report_at_exit;

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
        fill(*list, api, controls.empty_slots);
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
