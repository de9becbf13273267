// Quoting of operands: marks, escapes, multibyte handling and the slot buffers.
#include "quoting.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "charset.h"

namespace tevu::condition {
namespace {

class Quoting : public ::testing::Test {
 protected:
  static bool use_locale(const char* name) { return std::setlocale(LC_ALL, name) != nullptr; }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }

  static std::string quote(const QuotingOptions& options, const std::string& word) {
    std::size_t length = quote_into(nullptr, 0, options, word.c_str());
    std::string result(length + 1, '\0');
    EXPECT_EQ(quote_into(result.data(), result.size(), options, word.c_str()), length);
    result.resize(length);
    return result;
  }
};

struct QuotingCase {
  std::string word;
  std::string quoted;
};

TEST_F(Quoting, LocaleStyleInTheCLocale) {
  ASSERT_TRUE(use_locale("C"));
  const QuotingCase cases[] = {
      {"x", "'x'"},
      {"", "''"},
      {"it's", "'it\\'s'"},
      {"''", "'\\'\\''"},
      {"\a\b\f\n\r\t\v", "'\\a\\b\\f\\n\\r\\t\\v'"},
      {"a\\b", "'a\\\\b'"},
      {"\x01\x1f\x7f\x80\xff", "'\\001\\037\\177\\200\\377'"},
      {"a b;$`\"*?", "'a b;$`\"*?'"},
  };
  for (const QuotingCase& c : cases) {
    EXPECT_EQ(quote(quoting_options(QuotingStyle::locale), c.word), c.quoted) << c.word;
  }
}

TEST_F(Quoting, CLocaleStyleFallsBackToDoubleQuotes) {
  ASSERT_TRUE(use_locale("C"));
  EXPECT_EQ(quote(quoting_options(QuotingStyle::clocale), "a\"b's"), "\"a\\\"b's\"");
}

TEST_F(Quoting, LocaleStyleInUtf8) {
  if (!use_locale("C.UTF-8")) GTEST_SKIP() << "the C.UTF-8 locale is not available";
  const QuotingCase cases[] = {
      {"x", "\u2018x\u2019"},
      {"it's", "\u2018it's\u2019"},
      {"a\u2019b", "\u2018a\\\u2019b\u2019"},
      {"\u00e9\u4e2d\U0001F600", "\u2018\u00e9\u4e2d\U0001F600\u2019"},
      {"\xff", "\u2018\\377\u2019"},
      {"\xc3", "\u2018\\303\u2019"},
      {"a\xf0\x9f\x98", "\u2018a\\360\\237\\230\u2019"},
      {"\xe2\x28\xa1", "\u2018\\342(\\241\u2019"},
      {"\xc2\x85\xc2\x9f", "\u2018\\302\\205\\302\\237\u2019"},
      {"\x01\t\\", "\u2018\\001\\t\\\\\u2019"},
  };
  for (const QuotingCase& c : cases) {
    EXPECT_EQ(quote(quoting_options(QuotingStyle::locale), c.word), c.quoted) << c.word;
  }
  EXPECT_EQ(quote(quoting_options(QuotingStyle::clocale), "x"), "\u2018x\u2019");
}

TEST_F(Quoting, CustomMarksAndExtraEscapes) {
  ASSERT_TRUE(use_locale("C"));
  EXPECT_EQ(quote(custom_quoting_options("<<", ">>"), "a>>b>c"), "<<a\\>>b>c>>");
  QuotingOptions options = quoting_options(QuotingStyle::locale);
  add_extra_escape(options, '$');
  add_extra_escape(options, 0xff);
  EXPECT_EQ(quote(options, "a$b\xff"), "'a\\$b\\\xff'");
}

TEST_F(Quoting, OutputIsCutToTheBufferButCountedWhole) {
  ASSERT_TRUE(use_locale("C"));
  char buffer[4];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(quote_into(buffer, sizeof buffer, quoting_options(QuotingStyle::locale), "abcdef"), 8u);
  EXPECT_STREQ(buffer, "'ab");
}

TEST_F(Quoting, OtherStylesAreRefused) {
  EXPECT_DEATH(quoting_options(QuotingStyle::shell), "");
  EXPECT_DEATH(quoting_options(QuotingStyle::custom), "");
}

TEST_F(Quoting, StyleNamesInOrder) {
  const char* expected[] = {"literal", "shell",  "shell-always", "c", "c-maybe",
                            "escape",  "locale", "clocale"};
  for (std::size_t i = 0; i < 8; ++i) EXPECT_STREQ(kQuotingStyleNames[i], expected[i]);
  EXPECT_EQ(kQuotingStyleNames[8], nullptr);
}

// Slot 0 keeps its fixed 256-byte buffer until a result needs more; this is the only test of the
// program that quotes long words into slot 0.
TEST_F(Quoting, MessageSlotGrowsOnlyPastItsFixedBuffer) {
  ASSERT_TRUE(use_locale("C"));
  const char* fixed = quote_for_message("x");
  EXPECT_STREQ(fixed, "'x'");
  const std::string fits(253, 'f');
  EXPECT_EQ(quote_for_message(fits.c_str()), fixed);
  EXPECT_EQ(std::strlen(fixed), 255u);
  const std::string long_word(254, 'g');
  const char* grown = quote_for_message(long_word.c_str());
  EXPECT_NE(grown, fixed);
  EXPECT_EQ(std::string(grown), "'" + long_word + "'");
  const std::string longer(5000, 'h');
  EXPECT_EQ(std::string(quote_for_message(longer.c_str())), "'" + longer + "'");
  EXPECT_STREQ(quote_for_message("y"), "'y'");
}

TEST_F(Quoting, OtherSlotsStartEmpty) {
  ASSERT_TRUE(use_locale("C"));
  const QuotingOptions options = quoting_options(QuotingStyle::locale);
  EXPECT_STREQ(quote_in_slot(3, options, "abc"), "'abc'");
  EXPECT_STREQ(quote_in_slot(1, options, "de"), "'de'");
  EXPECT_STREQ(quote_in_slot(3, options, std::string(400, 'i').c_str()), ("'" + std::string(400, 'i') + "'").c_str());
  EXPECT_STREQ(quote_in_slot(1, options, "de"), "'de'");
}

TEST_F(Quoting, MessageQuotingKeepsErrno) {
  ASSERT_TRUE(use_locale("C"));
  errno = 42;
  quote_for_message(std::string(1000, '\x01').c_str());
  EXPECT_EQ(errno, 42);
}

// Runs a check with one environment variable set, restoring it afterwards.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedVariable() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(CharsetName, MapsCodePagesAndKeepsOtherNames) {
  const struct {
    const char* codeset;
    const char* name;
  } cases[] = {
      {"UTF-8", "UTF-8"},     {"CP65001", "UTF-8"},     {"CP936", "GBK"},     {"CP54936", "GB18030"},
      {"CP28605", "ISO-8859-15"}, {"CP38598", "ISO-8859-8"}, {"GB18030", "GB18030"},
      {"ANSI_X3.4-1968", "ANSI_X3.4-1968"}, {"", "ASCII"}, {nullptr, "ASCII"}, {"cp936", "cp936"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(charset_name_from_codeset(c.codeset), c.name) << (c.codeset ? c.codeset : "(null)");
  }
}

TEST(CharsetName, UsAsciiAsksTheLocaleVariables) {
  ScopedVariable lc_ctype("LC_CTYPE", nullptr);
  ScopedVariable lang("LANG", nullptr);
  {
    ScopedVariable all("LC_ALL", "en_US.ISO-8859-1");
    EXPECT_STREQ(charset_name_from_codeset("US-ASCII"), "ISO-8859-1");
  }
  {
    ScopedVariable all("LC_ALL", "de_DE.UTF-8@euro");
    EXPECT_STREQ(charset_name_from_codeset("US-ASCII"), "UTF-8");
  }
  {
    ScopedVariable all("LC_ALL", "xx.CP936");  // the environment's answer is not mapped
    EXPECT_STREQ(charset_name_from_codeset("US-ASCII"), "CP936");
  }
  {
    ScopedVariable all("LC_ALL", "xx.ABCDEFGHIJKLM@y");  // thirteen characters before the "@"
    EXPECT_STREQ(charset_name_from_codeset("US-ASCII"), "US-ASCII");
  }
  {
    ScopedVariable all("LC_ALL", "");
    ScopedVariable ctype("LC_CTYPE", "C");
    ScopedVariable language("LANG", "fr_FR.KOI8-R");
    EXPECT_STREQ(charset_name_from_codeset("US-ASCII"), "US-ASCII");
  }
  {
    ScopedVariable all("LC_ALL", nullptr);
    ScopedVariable language("LANG", "fr_FR.KOI8-R");
    EXPECT_STREQ(charset_name_from_codeset("US-ASCII"), "KOI8-R");
  }
}

}  // namespace
}  // namespace tevu::condition
