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

// What is wrong with one item, or nothing (and `parts` filled) when its shape and entry are right.
std::optional<std::string> check_item(std::string_view item, const RuleListSyntax& syntax, RuleText& parts) {
    parts.nth = 0;
    if (auto at = item.rfind('@'); at != std::string_view::npos) {
        auto nth = positive_decimal(item.substr(at + 1));
        if (!nth) return "call number must be a positive integer";
        parts.nth = *nth;
        item = item.substr(0, at);
    }
    const auto equals = item.find('=');
    if (syntax.takes_code && equals == std::string_view::npos) return "missing '='";
    if (!syntax.takes_code && equals != std::string_view::npos) return "takes no '=' value";
    parts.entry = item.substr(0, equals);
    parts.code = syntax.takes_code ? item.substr(equals + 1) : std::string_view();
    if (parts.entry.empty()) return "missing entry point name";
    if (syntax.known_entry && !syntax.known_entry(parts.entry)) return "unknown entry point";
    return std::nullopt;
}

}  // namespace

void for_each_rule(std::string_view text, const RuleListSyntax& syntax,
                   const std::function<bool(const RuleText&)>& accept, std::vector<std::string>& problems) {
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty()) continue;
        RuleText parts{};
        std::optional<std::string> problem = check_item(item, syntax, parts);
        if (!problem && !accept(parts)) problem = syntax.code_expected;
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
