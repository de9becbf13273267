// The reading of the stand-ins' steering lists: which items are taken, what is said about the others,
// and that a value is reported once.
#include "rule_list.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tevu::standin {
namespace {

bool known(std::string_view name) { return name == "cuInit" || name == "cuMemFree"; }

// Codes are small positive numbers here; the stand-ins have their own vocabularies.
std::optional<int> small_number(std::string_view text) {
    if (text.size() != 1 || text[0] < '1' || text[0] > '9') return std::nullopt;
    return text[0] - '0';
}

constexpr RuleListSyntax kWithCodes{"test stand-in", "TEST_FAIL", known, true, "code must be 1 to 9"};
constexpr RuleListSyntax kWithoutCodes{"test stand-in", "TEST_MISSING", known, false, ""};
constexpr RuleListSyntax kAnyEntry{"test stand-in", "TEST_ANY", nullptr, true, "code must be 1 to 9"};
constexpr RuleListSyntax kNoCallNumbers{"test stand-in", "TEST_SET", known, true, "code must be 1 to 9", false,
                                        "setting"};

constexpr char kStraySpace[] = "stray space (items are separated by ',' alone)";

struct Case {
    const RuleListSyntax* syntax;
    const char* item;
    const char* problem;  // null: well-formed
    const char* entry;
    int code;
    unsigned long long nth;
};

const Case kCases[] = {
    {&kWithCodes, "cuInit=3", nullptr, "cuInit", 3, 0},
    {&kWithCodes, "cuInit=3@1", nullptr, "cuInit", 3, 1},
    {&kWithCodes, "cuMemFree=9@4294967296", nullptr, "cuMemFree", 9, 4294967296ull},
    {&kWithoutCodes, "cuMemFree", nullptr, "cuMemFree", 0, 0},
    {&kWithoutCodes, "cuMemFree@2", nullptr, "cuMemFree", 0, 2},
    {&kAnyEntry, "anything=2@5", nullptr, "anything", 2, 5},
    {&kWithCodes, "cuInit", "missing '='", nullptr, 0, 0},
    {&kWithCodes, "cuInit@2", "missing '='", nullptr, 0, 0},
    {&kWithCodes, "=3", "missing entry point", nullptr, 0, 0},
    {&kAnyEntry, "=3", "missing entry point", nullptr, 0, 0},
    {&kWithCodes, "cuNothing=3", "unknown entry point", nullptr, 0, 0},
    {&kWithCodes, "cuinit=3", "unknown entry point", nullptr, 0, 0},
    {&kWithCodes, "cuInit=0", "code must be 1 to 9", nullptr, 0, 0},
    {&kWithCodes, "cuInit=", "code must be 1 to 9", nullptr, 0, 0},
    {&kWithCodes, "cuInit=3=4", "code must be 1 to 9", nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@0", "call number must be a positive integer", nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@", "call number must be a positive integer", nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@x", "call number must be a positive integer", nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@-1", "call number must be a positive integer", nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@+1", "call number must be a positive integer", nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@0x2", "call number must be a positive integer", nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@1@2", "code must be 1 to 9", nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@99999999999999999999999", "call number must be a positive integer", nullptr, 0, 0},
    {&kWithoutCodes, "cuMemFree=3", "takes no '=' value", nullptr, 0, 0},
    {&kWithoutCodes, "cuNothing@1", "unknown entry point", nullptr, 0, 0},
    {&kWithoutCodes, "@1", "missing entry point", nullptr, 0, 0},
    {&kNoCallNumbers, "cuInit=3", nullptr, "cuInit", 3, 0},
    {&kNoCallNumbers, "cuInit=3@1", "takes no call number", nullptr, 0, 0},
    {&kNoCallNumbers, "cuInit=3@", "takes no call number", nullptr, 0, 0},
    {&kNoCallNumbers, "cuNothing=3", "unknown setting", nullptr, 0, 0},
    {&kNoCallNumbers, "=3", "missing setting", nullptr, 0, 0},
    // A space at either end of the entry, the code or the call number: the list was written "a=1, b=2".
    {&kWithCodes, " cuInit=3", kStraySpace, nullptr, 0, 0},
    {&kWithCodes, "cuInit=3 ", kStraySpace, nullptr, 0, 0},
    {&kWithCodes, "cuInit =3", kStraySpace, nullptr, 0, 0},
    {&kWithCodes, "cuInit= 3", kStraySpace, nullptr, 0, 0},
    {&kWithCodes, "cuInit=3 @1", kStraySpace, nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@ 1", kStraySpace, nullptr, 0, 0},
    {&kWithCodes, "cuInit=3@1\n", kStraySpace, nullptr, 0, 0},
    {&kWithCodes, "\tcuInit=3", kStraySpace, nullptr, 0, 0},
    {&kWithCodes, " ", kStraySpace, nullptr, 0, 0},
    {&kWithoutCodes, "cuMemFree ", kStraySpace, nullptr, 0, 0},
    {&kAnyEntry, " anything=2", kStraySpace, nullptr, 0, 0},
    {&kNoCallNumbers, "cuInit=3 ", kStraySpace, nullptr, 0, 0},
    {&kWithCodes, "cu Init=3", "unknown entry point", nullptr, 0, 0},
    {&kAnyEntry, "any thing=2", nullptr, "any thing", 2, 0},
};

TEST(RuleList, EachItemIsTakenOrDescribed) {
    for (const Case& c : kCases) {
        std::vector<std::string> problems;
        const auto rules = parse_rule_list<int>(c.item, *c.syntax, small_number, problems);
        if (!c.problem) {
            ASSERT_EQ(rules.size(), 1u) << c.item;
            EXPECT_EQ(rules[0], (Rule<int>{c.entry, c.code, c.nth})) << c.item;
            EXPECT_TRUE(problems.empty()) << c.item << ": " << problems.at(0);
        } else {
            EXPECT_TRUE(rules.empty()) << c.item;
            EXPECT_EQ(problems, std::vector<std::string>{"ignoring '" + std::string(c.item) + "': " + c.problem})
                << c.item;
        }
    }
}

TEST(RuleList, EmptyItemsAreSkippedAndTheRestKeptInOrder) {
    std::vector<std::string> problems;
    const auto rules = parse_rule_list<int>(",cuInit=1,,bad,cuMemFree=2@3,cuInit=4,", kWithCodes, small_number, problems);
    EXPECT_EQ(rules, (std::vector<Rule<int>>{{"cuInit", 1, 0}, {"cuMemFree", 2, 3}, {"cuInit", 4, 0}}));
    EXPECT_EQ(problems, std::vector<std::string>{"ignoring 'bad': missing '='"});
    problems.clear();
    EXPECT_EQ(parse_rule_list<int>("cuInit=1, cuMemFree=2 ,cuInit=4", kWithCodes, small_number, problems),
              (std::vector<Rule<int>>{{"cuInit", 1, 0}, {"cuInit", 4, 0}}));
    EXPECT_EQ(problems, std::vector<std::string>{"ignoring ' cuMemFree=2 ': " + std::string(kStraySpace)});
    EXPECT_TRUE(parse_rule_list<int>("", kWithCodes, small_number, problems).empty());
    EXPECT_TRUE(parse_rule_list<int>(",,", kWithCodes, small_number, problems).empty());
    EXPECT_EQ(problems.size(), 1u);
}

// What `accept` refuses is described with the item; the items it takes are kept.
TEST(RuleList, TheCallerRefusesItemsWithItsOwnReason) {
    std::vector<std::string> problems;
    std::vector<std::string> taken;
    for_each_rule(
        "cuInit=1,cuMemFree=2@3,cuInit=4", kWithCodes,
        [&](const RuleText& item) -> const char* {
            if (item.entry == "cuMemFree") return "not this one";
            taken.push_back(std::string(item.entry) + "=" + std::string(item.code));
            return nullptr;
        },
        problems);
    EXPECT_EQ(taken, (std::vector<std::string>{"cuInit=1", "cuInit=4"}));
    EXPECT_EQ(problems, std::vector<std::string>{"ignoring 'cuMemFree=2@3': not this one"});
}

TEST(RuleList, TheFirstRuleForACallWins) {
    std::vector<std::string> problems;
    const auto rules = parse_rule_list<int>("cuInit=5@2,cuInit=6,cuMemFree=7@1", kWithCodes, small_number, problems);
    EXPECT_EQ(rule_for(rules, "cuInit", 1)->code, 6);
    EXPECT_EQ(rule_for(rules, "cuInit", 2)->code, 5);
    EXPECT_EQ(rule_for(rules, "cuMemFree", 1)->code, 7);
    EXPECT_EQ(rule_for(rules, "cuMemFree", 2), nullptr);
    EXPECT_EQ(rule_for(rules, "cuOther", 1), nullptr);
}

TEST(RuleList, EachValueIsReportedOnce) {
    setenv("TEST_FAIL", "cuInit=3,cuNothing=1,cuInit=3@0", 1);
    ::testing::internal::CaptureStderr();
    auto rules = rules_from_environment<int>(kWithCodes, small_number);
    rules_from_environment<int>(kWithCodes, small_number);
    const std::string first = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rules, (std::vector<Rule<int>>{{"cuInit", 3, 0}}));
    EXPECT_EQ(first,
              "test stand-in: TEST_FAIL: ignoring 'cuNothing=1': unknown entry point\n"
              "test stand-in: TEST_FAIL: ignoring 'cuInit=3@0': call number must be a positive integer\n");

    // Another value is reported; going back to the first one says nothing more.
    setenv("TEST_FAIL", "cuInit", 1);
    ::testing::internal::CaptureStderr();
    rules_from_environment<int>(kWithCodes, small_number);
    setenv("TEST_FAIL", "cuInit=3,cuNothing=1,cuInit=3@0", 1);
    rules_from_environment<int>(kWithCodes, small_number);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "test stand-in: TEST_FAIL: ignoring 'cuInit': missing '='\n");

    // The same text in another variable is that variable's own value; well-formed values say nothing.
    setenv("TEST_ANY", "cuInit", 1);
    setenv("TEST_FAIL", "cuInit=1", 1);
    ::testing::internal::CaptureStderr();
    rules_from_environment<int>(kAnyEntry, small_number);
    rules_from_environment<int>(kWithCodes, small_number);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "test stand-in: TEST_ANY: ignoring 'cuInit': missing '='\n");
    unsetenv("TEST_FAIL");
    unsetenv("TEST_ANY");
}

}  // namespace
}  // namespace tevu::standin
