// The stand-ins' steering lists: comma-separated items `entry=code[@n]` (`entry[@n]` for lists without
// codes; no `@n` for lists without call numbers), each naming an entry point, what it does instead (a
// result code, a path...) and, after the last '@', the one call it applies to (a positive decimal
// number; every call when absent). Empty items are skipped. An item that does not fit is malformed: one of
// the wrong shape, one whose entry the stand-in does not know, and one with a space at either end of its
// entry, code or call number (a list written "a=1, b=2"). It is ignored and described, and the stand-in
// reports it on standard error once for each distinct value of the variable.
// Each stand-in keeps its own vocabulary of entry names and codes, given as callbacks.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tevu::standin {

// How one variable's items are read.
struct RuleListSyntax {
    const char* owner;     // the stand-in, first word of its messages ("cuda stand-in")
    const char* variable;  // the environment variable ("CUDA_EMU_FAIL")
    // The entry names accepted; null: any non-empty name.
    bool (*known_entry)(std::string_view) = nullptr;
    // false: items are `entry[@n]` and carry no code.
    bool takes_code = true;
    // What a code must be, for the message about one that is not accepted ("status must be an integer").
    const char* code_expected = "";
    // false: items take no "@n".
    bool takes_call_number = true;
    // What the entries are, for the messages "missing ..." and "unknown ...".
    const char* entry_kind = "entry point";
};

// One well-formed item.
template <class Code>
struct Rule {
    std::string entry;
    Code code{};
    unsigned long long nth = 0;  // the one call the rule applies to; 0: every call
    bool operator==(const Rule& o) const { return entry == o.entry && code == o.code && nth == o.nth; }
};

// The text of a code to its value; nullopt when the stand-in does not accept it. Not called (and may be
// null) for lists without codes.
template <class Code>
using CodeParser = std::optional<Code> (*)(std::string_view);

// The parts of one item whose entry the syntax accepts.
struct RuleText {
    std::string_view entry;
    std::string_view code;  // empty for lists without codes
    unsigned long long nth;
};

// Splits `text` into items and calls `accept` for each one whose shape and entry are right; `accept`
// answers null when it takes the item, else what is wrong with it. Each malformed item adds one line to
// `problems`: "ignoring 'ITEM': WHAT IS WRONG".
void for_each_rule(std::string_view text, const RuleListSyntax& syntax,
                   const std::function<const char*(const RuleText&)>& accept, std::vector<std::string>& problems);

// The well-formed rules of `text`; the malformed items are described in `problems`.
template <class Code>
std::vector<Rule<Code>> parse_rule_list(std::string_view text, const RuleListSyntax& syntax,
                                        CodeParser<Code> parse_code, std::vector<std::string>& problems) {
    std::vector<Rule<Code>> rules;
    for_each_rule(
        text, syntax,
        [&](const RuleText& item) -> const char* {
            Rule<Code> rule{std::string(item.entry), Code{}, item.nth};
            if (syntax.takes_code) {
                std::optional<Code> code = parse_code(item.code);
                if (!code) return syntax.code_expected;
                rule.code = std::move(*code);
            }
            rules.push_back(std::move(rule));
            return nullptr;
        },
        problems);
    return rules;
}

// Writes each problem to standard error as "OWNER: VARIABLE: PROBLEM", unless this value of the variable
// was reported already (of the last 64 values reported).
void report_once(const RuleListSyntax& syntax, std::string_view text, const std::vector<std::string>& problems);

// The variable's current value; empty when unset.
std::string setting(const char* variable);

// Reads the variable's current value, parses it with `parse(text, problems)` and reports the problems.
template <class Parse>
auto parse_from_environment(const RuleListSyntax& syntax, Parse parse) {
    const std::string text = setting(syntax.variable);
    std::vector<std::string> problems;
    auto parsed = parse(text, problems);
    report_once(syntax, text, problems);
    return parsed;
}

// Reads, parses and reports the variable's current value.
template <class Code>
std::vector<Rule<Code>> rules_from_environment(const RuleListSyntax& syntax, CodeParser<Code> parse_code) {
    return parse_from_environment(syntax, [&](const std::string& text, std::vector<std::string>& problems) {
        return parse_rule_list(text, syntax, parse_code, problems);
    });
}

// The first rule for this call (the `call`-th, counted from 1) of `entry`, or null.
template <class Code>
const Rule<Code>* rule_for(const std::vector<Rule<Code>>& rules, std::string_view entry, unsigned long long call) {
    for (const Rule<Code>& rule : rules)
        if (rule.entry == entry && (rule.nth == 0 || rule.nth == call)) return &rule;
    return nullptr;
}

}  // namespace tevu::standin
