// The stand-in's control variables, parsed from their text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "catalogue.h"
#include "rule_list.h"

namespace tevu::standin::nvenc {

// "5.0" -> 0x50 (major in the high nibble); false when the text is not "major.minor" within 0..15.
bool parse_api_version(const std::string& text, uint32_t& version);

// "33=0,hevc:34=1": capability number (one the stand-in answers) to the value to answer, both integers in C
// notation, for every codec or for the one named first ("h264:", "hevc:", "av1:"). Each malformed item is
// described in `problems` and skipped.
CapabilityOverrides parse_capability_overrides(const std::string& text, std::vector<std::string>& problems);

// "h264,hevc": the codecs a device encodes, in the driver's order; every codec for an empty text. Each item
// that names no codec is described in `problems` and skipped.
std::vector<Codec> parse_codec_list(const std::string& text, std::vector<std::string>& problems);

// One item of NVENC_EMU_FAIL, "nvEncEncodePicture=8@2": the entry (one of entry_names.h) returns the
// status (an integer, decimal, 0x hexadecimal or 0 octal) on that call only, or on every call without "@n".
using FailureRule = Rule<int>;

// "nvEncEncodePicture=8@2,nvEncLockBitstream=13". Each malformed item is described in `problems` and skipped.
std::vector<FailureRule> parse_failure_rules(const std::string& text, std::vector<std::string>& problems);

// "nvEncGetEncodeGUIDCount,nvEncGetInputFormatCount": names of count queries. Each item that names
// something else, or is malformed, is described in `problems` and skipped.
std::set<std::string> parse_overcount(const std::string& text, std::vector<std::string>& problems);

// "nvEncGetEncodePresetConfigEx": names of the function table's slots, which NvEncodeAPICreateInstance then
// leaves empty (a library without those entry points). Each item that names an export of the library, or
// is malformed, is described in `problems` and skipped.
std::set<std::string> parse_empty_slots(const std::string& text, std::vector<std::string>& problems);

// What nvEncOpenEncodeSessionEx answers when every session of the device is taken: 2
// (NV_ENC_ERR_UNSUPPORTED_DEVICE), 10 (NV_ENC_ERR_OUT_OF_MEMORY) or 21 (NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY),
// as drivers of different years do; nullopt for any other text.
std::optional<int> parse_session_limit_status(const std::string& text);

struct Controls {
    unsigned max_sessions = 32;
    int session_limit_status = 2;  // NV_ENC_ERR_UNSUPPORTED_DEVICE
    uint32_t max_api = 0xC2;     // 12.2
    bool legacy_presets = true;  // false: a driver from 590 on (P1-P7 only, for every client)
    CapabilityOverrides capabilities;
    std::vector<Codec> codecs = all_codecs();
    std::vector<FailureRule> failures;
    bool null_encode = false;
    bool extra_preset = false;
    std::set<std::string> overcount;  // count queries answering one item more than their list holds
    std::set<std::string> empty_slots;  // function-table slots left empty
    std::string trace_path;
};

// Reads NVENC_EMU_MAX_SESSIONS, NVENC_EMU_SESSION_LIMIT_STATUS, NVENC_EMU_MAX_API, NVENC_EMU_CAPS,
// NVENC_EMU_CODECS, NVENC_EMU_FAIL, NVENC_EMU_NULL, NVENC_EMU_EXTRA_PRESET, NVENC_EMU_LEGACY_PRESETS, NVENC_EMU_OVERCOUNT,
// NVENC_EMU_EMPTY_SLOTS and NVENC_EMU_TRACE; unset or malformed values keep the defaults. Malformed items
// of the lists NVENC_EMU_CAPS, NVENC_EMU_CODECS, NVENC_EMU_FAIL, NVENC_EMU_OVERCOUNT and NVENC_EMU_EMPTY_SLOTS, and a
// NVENC_EMU_SESSION_LIMIT_STATUS other than 2, 10 or 21, are skipped and reported on standard error, once
// for each value.
Controls controls_from_environment();

// Counts the calls of each entry point and answers the injected status of the call, if any.
class FailureInjector {
public:
    // Replaces the rules and restarts the counts when they differ from the current ones.
    void set_rules(const std::vector<FailureRule>& rules);
    // 0 when the call goes ahead, else the status it must return.
    int next_call(const std::string& entry);

private:
    std::vector<FailureRule> rules_;
    std::map<std::string, unsigned long> calls_;
};

}  // namespace tevu::standin::nvenc
