#include "controls.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

namespace nvenc_emu {
namespace {

bool parse_int(const std::string& text, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 0);
    return end && *end == '\0' && errno != ERANGE;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, separator))
        if (!item.empty())
            items.push_back(item);
    return items;
}

// "key=value" into its two halves; false without "=" or with an empty key.
bool split_assignment(const std::string& item, std::string& key, std::string& value) {
    const auto eq = item.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    key = item.substr(0, eq);
    value = item.substr(eq + 1);
    return true;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::optional<int> parse_status(std::string_view text) {
    long status = 0;
    if (!parse_int(std::string(text), status) || status < INT_MIN || status > INT_MAX)
        return std::nullopt;
    return static_cast<int>(status);
}

constexpr tevu::standin::RuleListSyntax failure_syntax{"nvenc stand-in", "NVENC_EMU_FAIL", nullptr, true,
                                                        "status must be an integer"};

}  // namespace

bool parse_api_version(const std::string& text, uint32_t& version) {
    const auto dot = text.find('.');
    long major = 0, minor = 0;
    if (dot == std::string::npos || !parse_int(text.substr(0, dot), major) ||
        !parse_int(text.substr(dot + 1), minor))
        return false;
    if (major < 0 || major > 15 || minor < 0 || minor > 15)
        return false;
    version = static_cast<uint32_t>(major << 4 | minor);
    return true;
}

std::map<int, int> parse_capability_overrides(const std::string& text) {
    std::map<int, int> caps;
    for (const auto& item : split(text, ',')) {
        std::string key, value;
        long cap = 0, answer = 0;
        if (split_assignment(item, key, value) && parse_int(key, cap) && parse_int(value, answer))
            caps[static_cast<int>(cap)] = static_cast<int>(answer);
    }
    return caps;
}

std::vector<FailureRule> parse_failure_rules(const std::string& text, std::vector<std::string>& problems) {
    return tevu::standin::parse_rule_list<int>(text, failure_syntax, parse_status, problems);
}

Controls controls_from_environment() {
    Controls c;
    long value = 0;
    if (parse_int(environment("NVENC_EMU_MAX_SESSIONS"), value) && value >= 0 &&
        static_cast<unsigned long>(value) <= UINT_MAX)
        c.max_sessions = static_cast<unsigned>(value);
    uint32_t api = 0;
    if (parse_api_version(environment("NVENC_EMU_MAX_API"), api))
        c.max_api = api;
    c.capabilities = parse_capability_overrides(environment("NVENC_EMU_CAPS"));
    c.failures = tevu::standin::rules_from_environment<int>(failure_syntax, parse_status);
    c.null_encode = environment("NVENC_EMU_NULL") == "1";
    c.extra_preset = environment("NVENC_EMU_EXTRA_PRESET") == "1";
    for (const auto& query : split(environment("NVENC_EMU_OVERCOUNT"), ','))
        c.overcount.insert(query);
    c.trace_path = environment("NVENC_EMU_TRACE");
    return c;
}

void FailureInjector::set_rules(const std::vector<FailureRule>& rules) {
    if (rules == rules_)
        return;
    rules_ = rules;
    calls_.clear();
}

int FailureInjector::next_call(const std::string& entry) {
    const FailureRule* rule = tevu::standin::rule_for(rules_, entry, ++calls_[entry]);
    return rule ? rule->code : 0;
}

}  // namespace nvenc_emu
