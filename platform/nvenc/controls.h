// The stand-in's control variables, parsed from their text.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace nvenc_emu {

// "5.0" -> 0x50 (major in the high nibble); false when the text is not "major.minor" within 0..15.
bool parse_api_version(const std::string& text, uint32_t& version);

// "33=0,34=1": capability number to the value to answer. Malformed items are skipped.
std::map<int, int> parse_capability_overrides(const std::string& text);

struct FailureRule {
    std::string entry;
    int status = 0;
    unsigned call = 0;  // 1-based call number that fails; 0: every call
    bool operator==(const FailureRule& o) const { return entry == o.entry && status == o.status && call == o.call; }
};

// "nvEncEncodePicture=8@2,nvEncLockBitstream=13". Malformed items are skipped.
std::vector<FailureRule> parse_failure_rules(const std::string& text);

struct Controls {
    unsigned max_sessions = 32;
    uint32_t max_api = 0x50;
    std::map<int, int> capabilities;
    std::vector<FailureRule> failures;
    bool null_encode = false;
    bool extra_preset = false;
    std::string trace_path;
};

// Reads NVENC_EMU_MAX_SESSIONS, NVENC_EMU_MAX_API, NVENC_EMU_CAPS, NVENC_EMU_FAIL, NVENC_EMU_NULL,
// NVENC_EMU_EXTRA_PRESET and NVENC_EMU_TRACE; unset or malformed values keep the defaults.
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
    std::map<std::string, unsigned> calls_;
};

}  // namespace nvenc_emu
