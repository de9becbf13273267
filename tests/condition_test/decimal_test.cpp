// Integer operand syntax, comparison of integers of any length, and word lengths.
#include "decimal.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "thrown_syntax_errors.h"
#include "word_vector.h"

namespace tevu::condition {
namespace {

int sign(int value) { return (value > 0) - (value < 0); }

TEST(CompareDecimalText, OrdersIntegersOfAnyLength) {
  const struct {
    std::string a;
    std::string b;
    int expected;
  } cases[] = {
      {"0", "0", 0},       {"-0", "0", 0},       {"000", "-000", 0},  {"-", "0", 0},
      {"7", "007", 0},     {"12", "9", 1},       {"9", "12", -1},     {"19", "21", -1},
      {"21", "19", 1},     {"-1", "1", -1},      {"1", "-1", 1},      {"-0", "5", -1},
      {"5", "-0", 1},      {"-5", "0", -1},      {"0", "-5", 1},      {"-9", "-10", 1},
      {"-10", "-9", -1},   {"-12", "-12", 0},    {"-007", "-7", 0},   {"123", "124", -1},
      {"5  ", "5", 0},     {"5x", "5", 0},       {"10 ", "9\t", 1},
      {std::string(25, '9'), "1", 1},
      {"-" + std::string(20, '9'), "-9", -1},
      {"1" + std::string(100000, '0'), "9" + std::string(99999, '9'), 1},
      {std::string(100000, '7'), std::string(100000, '7'), 0},
      {std::string(99999, '7') + "6", std::string(100000, '7'), -1},
      {"-" + std::string(99999, '7') + "6", "-" + std::string(100000, '7'), 1},
      {std::string(50000, '0') + "3", "3", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sign(compare_decimal_text(c.a.c_str(), c.b.c_str())), c.expected)
        << c.a.substr(0, 40) << " vs " << c.b.substr(0, 40);
    EXPECT_EQ(sign(compare_decimal_text(c.b.c_str(), c.a.c_str())), -c.expected)
        << c.b.substr(0, 40) << " vs " << c.a.substr(0, 40);
  }
}

TEST(CheckedIntegerText, ReturnsTheTextFromSignOrFirstDigit) {
  std::setlocale(LC_ALL, "C");
  const struct {
    const char* word;
    const char* text;
  } cases[] = {
      {"7", "7"},       {"+7", "7"},        {"-7", "-7"},       {"  12", "12"},
      {"\t-3 ", "-3 "}, {" +0\t\t", "0\t\t"}, {"007", "007"},    {"-000", "-000"},
  };
  for (const auto& c : cases) EXPECT_STREQ(checked_integer_text(c.word), c.text) << c.word;
}

TEST(CheckedIntegerText, RejectsEverythingElseNamingTheWord) {
  std::setlocale(LC_ALL, "C");
  testing::throw_syntax_errors();
  for (const char* word : {"", " ", "-", "+", "+-5", "--5", "5x", "x5", "1 2", "1.0", "0x10", "\v1",
                           "1\n", "- 1", "\xd9\xa1"}) {
    try {
      checked_integer_text(word);
      ADD_FAILURE() << "accepted [" << word << "]";
    } catch (const SyntaxError& error) {
      EXPECT_STREQ(error.format, "invalid integer %s");
      EXPECT_EQ(error.operand, word);
      EXPECT_TRUE(error.operand_quoted);
    }
  }
}

TEST(LengthAsDecimal, WritesTheByteLength) {
  char buffer[kLengthTextSize];
  EXPECT_STREQ(length_as_decimal("", buffer), "0");
  EXPECT_STREQ(length_as_decimal("abc", buffer), "3");
  EXPECT_STREQ(length_as_decimal("\xc3\xa9", buffer), "2");
  const std::string long_word(123456, 'w');
  EXPECT_STREQ(length_as_decimal(long_word.c_str(), buffer), "123456");
}

}  // namespace
}  // namespace tevu::condition
