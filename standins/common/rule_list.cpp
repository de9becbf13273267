#include "rule_list.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <mutex>

namespace tevu::standin {

namespace {

std::optional<unsigned long long> positive_decimal(std::string_view text) {
    unsigned long long value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value == 0) return std::nullopt;
    return value;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool has_stray_space(std::string_view part) {
    return !part.empty() && (is_space(part.front()) || is_space(part.back()));
}

// What is wrong with one item, or nothing (and `parts` filled) when its shape and entry are right.
std::optional<std::string> check_item(std::string_view item, const RuleListSyntax& syntax, RuleText& parts) {
    const auto at = item.rfind('@');
    const std::string_view nth_text = at == std::string_view::npos ? std::string_view() : item.substr(at + 1);
    item = item.substr(0, at);
    const auto equals = item.find('=');
    parts.entry = item.substr(0, equals);
    parts.code = equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
    parts.nth = 0;
    for (std::string_view part : {parts.entry, parts.code, nth_text})
        if (has_stray_space(part)) return "stray space (items are separated by ',' alone)";
    if (at != std::string_view::npos) {
        if (!syntax.takes_call_number) return "takes no call number";
        auto nth = positive_decimal(nth_text);
        if (!nth) return "call number must be a positive integer";
        parts.nth = *nth;
    }
    if (syntax.takes_code && equals == std::string_view::npos) return "missing '='";
    if (!syntax.takes_code && equals != std::string_view::npos) return "takes no '=' value";
    if (parts.entry.empty()) return std::string("missing ") + syntax.entry_kind;
    if (syntax.known_entry && !syntax.known_entry(parts.entry)) return std::string("unknown ") + syntax.entry_kind;
    return std::nullopt;
}

}  // namespace

void for_each_rule(std::string_view text, const RuleListSyntax& syntax,
                   const std::function<const char*(const RuleText&)>& accept, std::vector<std::string>& problems) {
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty()) continue;
        RuleText parts{};
        std::optional<std::string> problem = check_item(item, syntax, parts);
        if (!problem) {
            if (const char* refused = accept(parts)) problem = refused;
        }
        if (problem) problems.push_back("ignoring '" + std::string(item) + "': " + *problem);
    }
}

void report_once(const RuleListSyntax& syntax, std::string_view text, const std::vector<std::string>& problems) {
    if (problems.empty()) return;
    // Fingerprints of the values reported, in a ring. Nothing here allocates or has a destructor, so that
    // calls at exit find a usable state and a stand-in that is unloaded leaves nothing behind.
    static std::mutex mutex;
    static std::size_t reported[64];
    static std::size_t count;  // values reported so far; the newest is at (count - 1) % 64
    const std::size_t fingerprint =
        std::hash<std::string_view>()(syntax.variable) * 31 + std::hash<std::string_view>()(text);
    {
        std::lock_guard<std::mutex> lock(mutex);
        const std::size_t kept = std::min(count, std::size(reported));
        for (std::size_t i = 0; i < kept; ++i)
            if (reported[i] == fingerprint) return;
        reported[count++ % std::size(reported)] = fingerprint;
    }
    for (const std::string& problem : problems)
        std::fprintf(stderr, "%s: %s: %s\n", syntax.owner, syntax.variable, problem.c_str());
}

std::string setting(const char* variable) {
    const char* value = std::getenv(variable);
    return value ? value : "";
}

}  // namespace tevu::standin
