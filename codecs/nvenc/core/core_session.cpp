// The encoder core's NVENC session: opening it, its registration and bitstream buffer, what the driver
// offers (codecs, presets, input formats, capabilities), the preset choice and the session parameters.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "api_traits.h"
#include "encoder_core.h"
#include "guid.h"
#include "policy.h"
#include "preset_choice.h"
#include "tables.h"

namespace tevu::nvenc {
namespace {

std::string codec_text(const GUID& g) {
    const std::string t = guid_text(g);
    const char* name = codec_name(t);
    return name ? name : t;
}
std::string preset_text(const GUID& g) {
    const std::string t = guid_text(g);
    const char* name = preset_name(t);
    return name ? name : t;
}
// A tuning's name, or its number for one without a name.
std::string tuning_text(uint32_t tuning) {
    for (const NumberName& t : tuning_names())
        if (t.value == tuning) return t.name;
    return std::to_string(tuning);
}
std::string hex_text(uint32_t v) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%#x", v);
    return buffer;
}

// A catalogue list as the log lines and messages show it: a dictionary of its names and values as text.
template <class T, class Text>
Value dict_of(const NamedList<T>& list, Text&& text) {
    Value result = Value::dict();
    for (const auto& entry : list.entries()) result.set(value(entry.name), value(text(entry.value)));
    return result;
}
Value dict_of(const NamedGuids& guids) { return dict_of(guids, [](const Guid& g) { return guid_text(g); }); }
Value dict_of(const InputFormats& formats) { return dict_of(formats, hex_text); }

// One count-then-list query of the session: `count` fills the number of items, `counted` logs it,
// `list` fills up to that many items and the number returned. The checks are the driver's contract;
// `mismatch`, when given, is the message of a returned count that differs from the count.
template <class T, class Count, class Counted, class List>
std::vector<T> count_and_list(const HostLog& log, Count&& count, Counted&& counted, uint32_t min_count, List&& list,
                              const char* mismatch = nullptr) {
    uint32_t n = 0;
    count(n);
    counted(n);
    log.check(n >= min_count && n < 256);
    std::vector<T> items(n);
    uint32_t returned = 0;
    list(items.data(), n, returned);
    if (mismatch)
        log.check(returned == n, mismatch, n, returned);
    else
        log.check(returned == n);
    items.resize(std::min(returned, n));
    return items;
}

// The name of a status with which nvEncOpenEncodeSessionEx says that no session is to be had now, every
// one of the device being in use; null for any other status. Drivers have said so with each of these in
// turn over the years: 2, then 10 (up to about 2023), then 21.
const char* session_shortage(int status) {
    switch (status) {
    case NV_ENC_ERR_UNSUPPORTED_DEVICE: return "NV_ENC_ERR_UNSUPPORTED_DEVICE";
    case NV_ENC_ERR_OUT_OF_MEMORY: return "NV_ENC_ERR_OUT_OF_MEMORY";
    case NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY: return "NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY";
    default: return nullptr;
    }
}

}  // namespace

void EncoderCore::open_encode_session() {
    log_.debug("open_encode_session() cuda_context=%s, cuda_context_ptr=%#x",
               lazy([this] { return context_text(); }), cuda_context_ptr_);
    auto functions = std::make_unique<NV_ENCODE_API_FUNCTION_LIST>();
    host_.acquire_function_list(functions.get());
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params;
    api::reset(params);
    params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    params.device = cuda_context_ptr_;
    params.apiVersion = nvenc_api_word(api::kVersion);
    auto open = functions->nvEncOpenEncodeSessionEx;
    log_.api("calling nvEncOpenEncodeSessionEx @ %#x", reinterpret_cast<void*>(open));
    void* encoder = nullptr;
    const int status = unlocked([&] { return open(&params, &encoder); });
    // A handle that comes with a failure is no session, but the driver keeps its place until it is
    // destroyed.
    if (status != 0 && encoder) destroy_refused_session(*functions, encoder);
    if (const char* shortage = session_shortage(status)) {
        const std::string message =
            std::string(shortage) + ": could not open encode session (out of resources / no more codec contexts?)";
        host_.record_device(config_.device_id, DeviceEvent::OutOfResources);
        log_.debug(message.c_str());
        raise(EncoderError::Kind::Transient, message);
    }
    if (!encoder) fail("cannot open encoding session, context is NULL");
    check_nvenc(status, "opening session");
    // Counted once the host has counted it: a session the host could not count is destroyed uncounted.
    Session opened(std::move(functions), encoder);
    host_.session_opened();
    opened.count_with(&host_);
    session_ = std::move(opened);
    end_of_stream_sent_ = false;
    Value count;  // read once, for both values, and only when the line is kept
    log_.debug("success, encoder context=%#x (%s context%s in use)", encoder,
               lazy([&] { return count = host_.describe(HostText::SessionsInUse); }),
               lazy([&] { return host_.describe(HostText::Plural, count); }));
}

void EncoderCore::destroy_refused_session(const NV_ENCODE_API_FUNCTION_LIST& functions, void* encoder) {
    log_.api("nvEncDestroyEncoder(%#x)", encoder);
    if (const int status = unlocked([&] { return functions.nvEncDestroyEncoder(encoder); }))
        log_.warn("nvenc: could not destroy the handle of a refused session: %s", status_info(status));
}

void EncoderCore::init_nvenc() {
    open_encode_session();
    init_codec();
    SessionParams params = session_params(codec_guid_, config_);
    name_preset(params);
    log_.api("nvEncInitializeEncoder using encode=%s", codec_text(codec_guid_));
    check_session(
        unlocked([&] { return session_.api().nvEncInitializeEncoder(session_.encoder(), params.init.get()); }),
        "initializing encoder");
    params_ = std::move(params);
    log_.debug("NVENC initialized with '%s' codec and '%s' preset", codec_name(), preset_name_);
    dump_caps(codec_name(), codec_guid_);
    init_buffers();
}

RegisteredResource EncoderCore::register_buffer(const OutputStage& stage, const StreamConfig& c) {
    NV_ENC_REGISTER_RESOURCE r;
    api::reset(r);
    r.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR;
    r.resourceToRegister = reinterpret_cast<void*>(stage.buffer.allocation.address());
    r.width = c.encoder_width();
    r.height = c.encoder_height();
    r.pitch = stage.pitch();
    r.bufferFormat = static_cast<NV_ENC_BUFFER_FORMAT>(c.buffer_format());
    log_.api("nvEncRegisterResource(%#x)", &r);
    check_session(unlocked([&] { return session_.api().nvEncRegisterResource(session_.encoder(), &r); }),
                  "registering CUDA input buffer");
    log_.debug("input handle for CUDA buffer: %#x", r.registeredResource);
    return RegisteredResource(session_.ref(), r.registeredResource);
}

void EncoderCore::init_buffers() {
    log_.require(bool(session_), "context is not initialized");
    log_.require(!output_.registration && !bitstream_, "the buffers are already initialized");
    log_.require(bool(output_.buffer.allocation), "the CUDA buffers are not allocated");
    output_.registration = register_buffer(output_, config_);
    const uint32_t size = bitstream_buffer_size(config_.encoder_width(), config_.encoder_height());
    bitstream_ = create_bitstream(size);
    bitstream_size_ = size;
}

BitstreamBuffer EncoderCore::create_bitstream(uint32_t size) {
    NV_ENC_CREATE_BITSTREAM_BUFFER b;
    api::reset(b);
    b.size = size;
    b.memoryHeap = api::kBitstreamHeap;
    log_.api("nvEncCreateBitstreamBuffer(%#x)", &b);
    check_session(unlocked([&] { return session_.api().nvEncCreateBitstreamBuffer(session_.encoder(), &b); }),
                  "creating output buffer");
    log_.debug("output bitstream buffer=%#x", b.bitstreamBuffer);
    return BitstreamBuffer(session_.ref(), b.bitstreamBuffer);
}

// --- what the driver offers ---------------------------------------------------------------------------
const NamedGuids& EncoderCore::query_codecs() {
    const NV_ENCODE_API_FUNCTION_LIST& f = session_.api();
    void* encoder = session_.encoder();
    const std::vector<GUID> guids = count_and_list<GUID>(
        log_,
        [&](uint32_t& count) {
            log_.api("nvEncGetEncodeGUIDCount(%#x)", &count);
            check_session(unlocked([&] { return f.nvEncGetEncodeGUIDCount(encoder, &count); }), "getting encoder count");
        },
        [&](uint32_t count) {
            log_.debug("found %i encoder%s:", count, lazy([&] { return host_.describe(HostText::Plural, value(count)); }));
        },
        0,
        [&](GUID* items, uint32_t count, uint32_t& returned) {
            log_.api("nvEncGetEncodeGUIDs(%#x, %i, %#x)", items, count, &returned);
            check_session(unlocked([&] { return f.nvEncGetEncodeGUIDs(encoder, items, count, &returned); }),
                          "getting list of encode GUIDs");
        },
        "expected %s items but got %s");
    NamedGuids found;
    for (std::size_t x = 0; x < guids.size(); ++x) {
        const GUID& g = guids[x];
        const std::string t = guid_text(g);
        const char* name = nvenc::codec_name(t);
        if (name)
            log_.debug("[%s] %s", x, name);
        else
            log_.debug("[%s] unknown codec GUID: %s", x, t);
        found.set(name, g);
        // one query after the other, in this order
        const int width_max = query_encoder_caps(g, NV_ENC_CAPS_WIDTH_MAX);
        const int height_max = query_encoder_caps(g, NV_ENC_CAPS_HEIGHT_MAX);
        const int async = query_encoder_caps(g, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT);
        log_.debug(" max dimensions: %sx%s (async=%s)", width_max, height_max, async);
        log_.debug(" rate control:   %s", query_encoder_caps(g, NV_ENC_CAPS_SUPPORTED_RATECONTROL_MODES));
    }
    log_.debug("codecs=%s", lazy([&] { return host_.describe(HostText::Keys, dict_of(found)); }));
    return catalogue_.codecs() = std::move(found);
}

// The presets the session offers for a codec, with their debug lines; the driver is asked only the
// first time.
const NamedGuids& EncoderCore::query_presets(const GUID& codec) {
    Catalogue::CodecOffer& offer = catalogue_.offer(codec);
    const uint32_t listing_tuning = api::kTunedPresets ? NV_ENC_TUNING_INFO_LOW_LATENCY : 0;
    auto log_count = [&](uint32_t count) {
        log_.debug("found %s preset%s:", count, lazy([&] { return host_.describe(HostText::Plural, value(count)); }));
    };
    if (offer.presets_asked) {
        log_count(offer.presets_counted);
        for (const Catalogue::ListedPreset& p : offer.listed_presets) {
            log_listed_preset(p);
            log_preset_config(p);
        }
    } else {
        const NV_ENCODE_API_FUNCTION_LIST& f = session_.api();
        void* encoder = session_.encoder();
        const std::vector<GUID> guids = count_and_list<GUID>(
            log_,
            [&](uint32_t& count) {
                if (host_.settings().debug_api)
                    log_.info("nvEncGetEncodePresetCount(%s, %#x)", codec_text(codec), &count);
                check_session(unlocked([&] { return f.nvEncGetEncodePresetCount(encoder, codec, &count); }),
                              "getting preset count for " + guid_text(codec));
            },
            [&](uint32_t count) {
                offer.presets_counted = count;
                log_count(count);
            },
            0,
            [&](GUID* items, uint32_t count, uint32_t& returned) {
                log_.api("nvEncGetEncodePresetGUIDs(%s, %#x)", codec_text(codec), items);
                check_session(
                    unlocked([&] { return f.nvEncGetEncodePresetGUIDs(encoder, codec, items, count, &returned); }),
                    "getting encode presets");
            });
        std::vector<Catalogue::ListedPreset> listed;
        for (const GUID& g : guids) {
            Catalogue::ListedPreset p{g, nvenc::preset_name(guid_text(g)), nullptr};
            log_listed_preset(p);
            p.config = ask_preset_config(p.name, codec, g, listing_tuning);
            offer.keep_config(g, listing_tuning, p.config);
            log_preset_config(p);
            listed.push_back(std::move(p));
        }
        offer.listed_presets = std::move(listed);
        offer.presets_asked = true;
    }
    NamedGuids found;
    std::vector<std::string> unknown;
    for (const Catalogue::ListedPreset& p : offer.listed_presets) {
        if (p.name)
            found.set(p.name, p.guid);
        else
            unknown.push_back(guid_text(p.guid));
    }
    if (!unknown.empty()) {
        std::string joined;
        for (const std::string& u : unknown) joined += (joined.empty() ? "" : ", ") + u;
        log_.warn("nvenc: found some unknown presets: %s", joined);
        if (api::kModernPresetsHint && found.entries().empty())
            log_.warn("nvenc: this driver offers only the presets of NVENC API 10 and later (drivers from 590 on): "
                      "use tevu.codecs.nvenc12");
    }
    log_.api("query_presets(%s)=%s", codec_text(codec), dict_of(found));
    return offer.presets = std::move(found);
}

void EncoderCore::log_listed_preset(const Catalogue::ListedPreset& p) const {
    log_.api("* %s : %s", guid_text(p.guid), p.name ? p.name : "unknown!");
}

void EncoderCore::log_preset_config(const Catalogue::ListedPreset& p) const {
    if (!p.config) return;
    log_.api("presetConfig.presetCfg=%s", &p.config->presetCfg);
    const uint32_t gop = p.config->presetCfg.gopLength;
    log_.debug("* %-20s P frame interval=%i, gop length=%-10s", p.name ? p.name : "unknown!",
               p.config->presetCfg.frameIntervalP, gop == NVENC_INFINITE_GOPLENGTH ? value("infinite") : value(gop));
}

// The input formats the session takes for a codec, with their debug lines; the driver is asked only the
// first time.
const InputFormats& EncoderCore::query_input_formats(const GUID& codec) {
    Catalogue::CodecOffer& offer = catalogue_.offer(codec);
    auto log_count = [&](uint32_t count) {
        log_.debug("%s input format type%s:", count,
                   lazy([&] { return host_.describe(HostText::Plural, value(count)); }));
    };
    if (offer.input_formats_asked) {
        log_count(offer.input_formats_counted);
    } else {
        const NV_ENCODE_API_FUNCTION_LIST& f = session_.api();
        void* encoder = session_.encoder();
        const std::vector<NV_ENC_BUFFER_FORMAT> formats = count_and_list<NV_ENC_BUFFER_FORMAT>(
            log_,
            [&](uint32_t& count) {
                log_.api("nvEncGetInputFormatCount(%s, %#x)", codec_text(codec), &count);
                check_session(unlocked([&] { return f.nvEncGetInputFormatCount(encoder, codec, &count); }),
                              "getting input format count");
            },
            [&](uint32_t count) {
                offer.input_formats_counted = count;
                log_count(count);
            },
            1,
            [&](NV_ENC_BUFFER_FORMAT* items, uint32_t count, uint32_t& returned) {
                log_.api("nvEncGetInputFormats(%s, %#x, %i, %#x)", codec_text(codec), items, count, &returned);
                check_session(
                    unlocked([&] { return f.nvEncGetInputFormats(encoder, codec, items, count, &returned); }),
                    "getting input formats");
            });
        offer.format_values.assign(formats.begin(), formats.end());
        offer.input_formats_asked = true;
    }
    InputFormats found;
    for (const uint32_t v : offer.format_values) {
        log_.debug("* %#x", v);
        for (const NumberName& format_name : buffer_formats()) {
            if (format_name.value > 0 && (format_name.value & v) > 0) {
                log_.debug(" + %#x : %s", format_name.value, format_name.name);
                found.set(format_name.name, format_name.value);
            }
        }
    }
    return offer.input_formats = std::move(found);
}

int EncoderCore::query_encoder_caps(const GUID& codec, int cap) {
    try {
        log_.require(bool(session_), "context is not initialized");
        Catalogue::CodecOffer& offer = catalogue_.offer(codec);
        const char* name = caps_name(static_cast<uint32_t>(cap));
        const Value shown = name ? value(name) : value(cap);
        std::optional<int> answer = offer.cap(cap);
        if (!answer) {
            NV_ENC_CAPS_PARAM param;
            api::reset(param);
            param.capsToQuery = static_cast<NV_ENC_CAPS>(cap);
            int v = 0;
            const int status =
                unlocked([&] { return session_.api().nvEncGetEncodeCaps(session_.encoder(), codec, &param, &v); });
            check_session(status, log_.format("getting encode caps for %s", shown));
            offer.caps.emplace_back(cap, v);
            answer = v;
        }
        log_.api("query_encoder_caps(%s, %s) %s=%s", codec_text(codec), cap, shown, *answer);
        return *answer;
    } catch (...) {
        if (caught_thread_exit()) throw;
        host_.log_sink().report_unraisable((std::string(api::kModuleName) + ".Encoder.query_encoder_caps").c_str(),
                                std::current_exception());
        return 0;
    }
}

void EncoderCore::dump_caps(const std::string& name, const GUID& codec) {
    Value caps = Value::dict();
    for (const NumberName& cap : caps_names()) {
        if (cap.value == NV_ENC_CAPS_EXPOSED_COUNT) continue;
        caps.set(value(cap.name), value(query_encoder_caps(codec, static_cast<int>(cap.value))));
    }
    log_.debug("caps(%s)=%s", name, caps);
}

// --- codec, preset and parameters ---------------------------------------------------------------------
void EncoderCore::init_codec() {
    const Guid* guid = query_codecs().find(codec_name());
    log_.require(guid != nullptr, "%s not supported!?", codec_name());
    codec_guid_ = *guid;
}

EncoderCore::PresetChoice EncoderCore::get_preset(const GUID& codec, const StreamConfig& c) {
    const NamedGuids& presets = query_presets(codec);
    const PresetCandidates candidates =
        rank_presets({c.speed, c.quality, c.lossless, c.yuv444(), host_.settings().desired_preset});
    Value table = Value::dict();
    for (const auto& [score, names] : candidates) {
        std::vector<Value> l;
        for (const std::string& n : names) l.push_back(value(n));
        table.set(value(score), Value::list(std::move(l)));
    }
    log_.debug("get_preset(%s) speed=%s, quality=%s, lossless=%s, pixel_format=%s, options=%s", codec_text(codec),
               c.speed, c.quality, c.lossless, c.pixel_format, table);
    for (const auto& ranked : candidates) {
        for (const std::string& name : ranked.second) {
            if (name.empty()) continue;
            const Guid* guid = presets.find(name);
            if (!guid) continue;
            const uint32_t tuning = api::choose_tuning(c.speed, c.lossless, host_.settings().desired_tuning);
            if (api::kTunedPresets)
                log_.debug("using preset '%s' with tuning '%s' for quality=%s, speed=%s, lossless=%s, pixel_format=%s",
                           name, tuning_text(tuning), c.quality, c.speed, c.lossless, c.pixel_format);
            else
                log_.debug("using preset '%s' for quality=%s, speed=%s, lossless=%s, pixel_format=%s", name,
                           c.quality, c.speed, c.lossless, c.pixel_format);
            return {*guid, tuning};
        }
    }
    fail(log_.format("no matching presets available for '%s'!?", codec_name()));
}

// A preset's configuration for a tuning, as the session's catalogue holds it or, the first time, as the
// driver answers (null when it refuses).
PresetConfig EncoderCore::preset_config(const char* name, const GUID& encode, const GUID& preset, uint32_t tuning) {
    Catalogue::CodecOffer& offer = catalogue_.offer(encode);
    if (PresetConfig known = offer.config(preset, tuning)) return known;
    PresetConfig config = ask_preset_config(name, encode, preset, tuning);
    offer.keep_config(preset, tuning, config);
    return config;
}

PresetConfig EncoderCore::ask_preset_config(const char* name, const GUID& encode, const GUID& preset, uint32_t tuning) {
    auto config = std::make_unique<NV_ENC_PRESET_CONFIG>();
    api::reset(*config);
    config->presetCfg.version = api::version_word<NV_ENC_CONFIG>();
    const NV_ENCODE_API_FUNCTION_LIST& f = session_.api();
    int status = 0;
    if (api::kTunedPresets) {
        if (host_.settings().debug_api)
            log_.info("nvEncGetEncodePresetConfigEx(%s, %s, %s)", codec_text(encode), preset_text(preset),
                      tuning_text(tuning));
        status = f.nvEncGetEncodePresetConfigEx(session_.encoder(), encode, preset,
                                                static_cast<NV_ENC_TUNING_INFO>(tuning), config.get());
    } else {
        if (host_.settings().debug_api)
            log_.info("nvEncGetEncodePresetConfig(%s, %s)", codec_text(encode), preset_text(preset));
        status = f.nvEncGetEncodePresetConfig(session_.encoder(), encode, preset, config.get());
    }
    if (status != 0) {
        log_driver_message();
        const char* t = status_text(status);
        log_.warn("failed to get preset config for %s (%s / %s): %s", name, guid_text(encode), guid_text(preset),
                  t ? value(t) : value(status));
        return nullptr;
    }
    return config;
}

// The session parameters for a configuration: its preset, size, chroma format and rate control.
EncoderCore::SessionParams EncoderCore::session_params(const GUID& codec, const StreamConfig& c) {
    const PresetChoice choice = get_preset(codec, c);
    const GUID& preset = choice.preset;
    SessionParams p{std::make_unique<NV_ENC_INITIALIZE_PARAMS>(), std::make_unique<NV_ENC_CONFIG>(),
                    preset_text(preset), choice.tuning};
    log_.debug("init_params(%s) using preset=%s", codec_text(codec), p.preset_name);
    const char* input_format = buffer_format_name(c.buffer_format());
    const InputFormats& formats = query_input_formats(codec);
    const bool accepted = input_format && formats.find(input_format);
    log_.require(accepted, "%s does not support %s (only: %s)", codec_name(), input_format, dict_of(formats));
    const PresetConfig config_of_preset = preset_config(p.preset_name.c_str(), codec, preset, choice.tuning);
    if (!config_of_preset) fail(log_.format("could not find preset %s", p.preset_name));
    NV_ENC_INITIALIZE_PARAMS& params = *p.init;
    NV_ENC_CONFIG& config = *p.config;
    config = config_of_preset->presetCfg;
    params.version = api::version_word<NV_ENC_INITIALIZE_PARAMS>();
    params.encodeGUID = codec;
    params.presetGUID = preset;
    params.encodeWidth = params.darWidth = c.encoder_width();
    params.encodeHeight = params.darHeight = c.encoder_height();
    params.frameRateNum = api::kFrameRate.num;
    params.frameRateDen = api::kFrameRate.den;
    params.enableEncodeAsync = 0;
    params.enablePTD = 0;
    params.encodeConfig = p.config.get();
    config.gopLength = NVENC_INFINITE_GOPLENGTH;
    config.frameIntervalP = 1;
    config.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
    c.codec->set_session_config(config, c.yuv444());
    api::set_session_extras(params, config, choice.tuning, c.codec->profile(c.yuv444()));
    api::set_session_rate_control(config, rate_targets(c), c.lossless, *c.codec);
    return p;
}

api::RateTargets EncoderCore::rate_targets(const StreamConfig& c) const {
    return {target_bitrate_, max_bitrate_, c.quality, c.codec->max_quantiser(), c.codec->min_lossy_quantiser()};
}

EncoderCore::SessionParams EncoderCore::copy_params(const SessionParams& p) {
    SessionParams copy{std::make_unique<NV_ENC_INITIALIZE_PARAMS>(*p.init), std::make_unique<NV_ENC_CONFIG>(*p.config),
                       p.preset_name, p.tuning};
    copy.init->encodeConfig = copy.config.get();
    return copy;
}

void EncoderCore::name_preset(const SessionParams& params) {
    preset_name_ = params.preset_name;
    tuning_name_ = api::kTunedPresets ? tuning_text(params.tuning) : "";
}

void EncoderCore::check_session(int status, const std::string& operation) const {
    if (status == 0) return;
    log_driver_message();
    check_nvenc(status, operation);
}

void EncoderCore::log_driver_message() const {
    if (!api::kDriverMessages || !session_ || !session_.api().nvEncGetLastErrorString) return;
    const char* text = session_.api().nvEncGetLastErrorString(session_.encoder());
    if (text && *text) log_.warn("nvenc: driver message: %s", text);
}

void EncoderCore::keep_failure(FirstFailure& failure, int status, const char* operation) const {
    if (status != 0) failure.run([&] { check_session(status, operation); });
}

}  // namespace tevu::nvenc
