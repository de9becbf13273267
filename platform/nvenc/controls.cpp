#include "controls.h"

#include "catalogue.h"
#include "entry_names.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tevu::standin::nvenc {
namespace {

bool parse_int(const std::string& text, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 0);
    return end && *end == '\0' && errno != ERANGE;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// An int in C notation: decimal, 0x hexadecimal or 0 octal.
std::optional<int> parse_integer(std::string_view text) {
    long value = 0;
    if (!parse_int(std::string(text), value) || value < INT_MIN || value > INT_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

bool known_entry(std::string_view name) { return find_entry(name).has_value(); }

bool known_capability(std::string_view text) {
    const std::optional<int> cap = parse_integer(text);
    return cap && capability_value(Offer{}, *cap).has_value();
}

constexpr char kOwner[] = "nvenc stand-in";
constexpr RuleListSyntax failure_syntax{kOwner, "NVENC_EMU_FAIL", known_entry, true,
                                        "status must be an integer"};
constexpr RuleListSyntax overcount_syntax{kOwner, "NVENC_EMU_OVERCOUNT", known_entry, false, "",
                                          false};
constexpr RuleListSyntax capability_syntax{kOwner, "NVENC_EMU_CAPS", known_capability, true,
                                           "value must be an integer", false, "capability"};

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

std::map<int, int> parse_capability_overrides(const std::string& text, std::vector<std::string>& problems) {
    std::map<int, int> caps;
    for (const auto& rule : parse_rule_list<int>(text, capability_syntax, parse_integer, problems))
        caps[*parse_integer(rule.entry)] = rule.code;
    return caps;
}

std::vector<FailureRule> parse_failure_rules(const std::string& text, std::vector<std::string>& problems) {
    return parse_rule_list<int>(text, failure_syntax, parse_integer, problems);
}

std::set<std::string> parse_overcount(const std::string& text, std::vector<std::string>& problems) {
    std::set<std::string> queries;
    for_each_rule(
        text, overcount_syntax,
        [&](const RuleText& item) -> const char* {
            if (!is_count_query(*find_entry(item.entry)))
                return "not a count query";
            queries.emplace(item.entry);
            return nullptr;
        },
        problems);
    return queries;
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
    c.capabilities = parse_from_environment(capability_syntax, parse_capability_overrides);
    c.failures = rules_from_environment<int>(failure_syntax, parse_integer);
    c.null_encode = environment("NVENC_EMU_NULL") == "1";
    c.extra_preset = environment("NVENC_EMU_EXTRA_PRESET") == "1";
    c.legacy_presets = environment("NVENC_EMU_LEGACY_PRESETS") != "0";
    c.overcount = parse_from_environment(overcount_syntax, parse_overcount);
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
    const FailureRule* rule = rule_for(rules_, entry, ++calls_[entry]);
    return rule ? rule->code : 0;
}

}  // namespace tevu::standin::nvenc
