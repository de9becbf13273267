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

bool known_codec(std::string_view name) { return codec_named(name).has_value(); }

constexpr char kOwner[] = "nvenc stand-in";
constexpr RuleListSyntax failure_syntax{kOwner, "NVENC_EMU_FAIL", known_entry, true,
                                        "status must be an integer"};
constexpr RuleListSyntax overcount_syntax{kOwner, "NVENC_EMU_OVERCOUNT", known_entry, false, "",
                                          false};
// Its entries are checked item by item: a codec's name may come first.
constexpr RuleListSyntax capability_syntax{kOwner, "NVENC_EMU_CAPS", nullptr, true, "", false, "capability"};
constexpr RuleListSyntax codec_syntax{kOwner, "NVENC_EMU_CODECS", known_codec, false, "", false, "codec"};
constexpr RuleListSyntax empty_slots_syntax{kOwner, "NVENC_EMU_EMPTY_SLOTS", known_entry, false, "", false};
constexpr RuleListSyntax session_limit_syntax{kOwner, "NVENC_EMU_SESSION_LIMIT_STATUS"};

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

CapabilityOverrides parse_capability_overrides(const std::string& text, std::vector<std::string>& problems) {
    CapabilityOverrides caps;
    for_each_rule(
        text, capability_syntax,
        [&](const RuleText& item) -> const char* {
            const auto colon = item.entry.find(':');
            std::optional<Codec> codec;
            if (colon != std::string_view::npos) {
                codec = codec_named(item.entry.substr(0, colon));
                if (!codec)
                    return "unknown codec";
            }
            const std::string_view number = colon == std::string_view::npos ? item.entry : item.entry.substr(colon + 1);
            if (!known_capability(number))
                return "unknown capability";
            const std::optional<int> value = parse_integer(item.code);
            if (!value)
                return "value must be an integer";
            std::map<int, int>& target = codec ? caps.per_codec[*codec] : caps.every_codec;
            target[*parse_integer(number)] = *value;
            return nullptr;
        },
        problems);
    return caps;
}

std::vector<Codec> parse_codec_list(const std::string& text, std::vector<std::string>& problems) {
    if (text.empty())
        return all_codecs();
    std::vector<bool> named(all_codecs().size());
    for (const auto& rule : parse_rule_list<int>(text, codec_syntax, nullptr, problems))
        named[static_cast<size_t>(*codec_named(rule.entry))] = true;
    std::vector<Codec> codecs;
    for (Codec codec : all_codecs())
        if (named[static_cast<size_t>(codec)])
            codecs.push_back(codec);
    return codecs;
}

std::vector<FailureRule> parse_failure_rules(const std::string& text, std::vector<std::string>& problems) {
    return parse_rule_list<int>(text, failure_syntax, parse_integer, problems);
}

namespace {

// The entries of a list of entry names that `belongs` takes; the others are described in `problems` as
// `what_else` ("not a count query").
std::set<std::string> entry_set(const std::string& text, const RuleListSyntax& syntax, bool (*belongs)(Entry),
                                const char* what_else, std::vector<std::string>& problems) {
    std::set<std::string> entries;
    for_each_rule(
        text, syntax,
        [&](const RuleText& item) -> const char* {
            if (!belongs(*find_entry(item.entry)))
                return what_else;
            entries.emplace(item.entry);
            return nullptr;
        },
        problems);
    return entries;
}

}  // namespace

std::set<std::string> parse_overcount(const std::string& text, std::vector<std::string>& problems) {
    return entry_set(text, overcount_syntax, is_count_query, "not a count query", problems);
}

std::set<std::string> parse_empty_slots(const std::string& text, std::vector<std::string>& problems) {
    return entry_set(text, empty_slots_syntax, is_table_slot, "not a slot of the function table", problems);
}

std::optional<int> parse_session_limit_status(const std::string& text) {
    const std::optional<int> status = parse_integer(text);
    if (status == 2 || status == 10 || status == 21)
        return status;
    return std::nullopt;
}

Controls controls_from_environment() {
    Controls c;
    long value = 0;
    if (parse_int(environment("NVENC_EMU_MAX_SESSIONS"), value) && value >= 0 &&
        static_cast<unsigned long>(value) <= UINT_MAX)
        c.max_sessions = static_cast<unsigned>(value);
    c.session_limit_status = parse_from_environment(
        session_limit_syntax, [](const std::string& text, std::vector<std::string>& problems) {
            const std::optional<int> status = parse_session_limit_status(text);
            if (!status && !text.empty())
                problems.push_back("ignoring '" + text + "': the status must be 2, 10 or 21");
            return status.value_or(2);
        });
    uint32_t api = 0;
    if (parse_api_version(environment("NVENC_EMU_MAX_API"), api))
        c.max_api = api;
    c.capabilities = parse_from_environment(capability_syntax, parse_capability_overrides);
    c.codecs = parse_from_environment(codec_syntax, parse_codec_list);
    c.failures = rules_from_environment<int>(failure_syntax, parse_integer);
    c.null_encode = environment("NVENC_EMU_NULL") == "1";
    c.extra_preset = environment("NVENC_EMU_EXTRA_PRESET") == "1";
    c.legacy_presets = environment("NVENC_EMU_LEGACY_PRESETS") != "0";
    c.overcount = parse_from_environment(overcount_syntax, parse_overcount);
    c.empty_slots = parse_from_environment(empty_slots_syntax, parse_empty_slots);
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
