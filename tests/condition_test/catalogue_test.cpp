// Message catalogues: translated formats and translated quotation marks are used. The program
// built for this test reads its catalogues from a directory of the test build, which these tests
// fill with msgfmt.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "process.h"
#include "scratch.h"

namespace tevu::condition::testing {
namespace {

const std::string kProgram = TEVU_CONDITION_TEST_CATALOGUE_PROGRAM;
const std::string kCatalogueDirectory = TEVU_CONDITION_TEST_CATALOGUE_DIR;

const char kPoHeader[] =
    "msgid \"\"\n"
    "msgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";

// Marks and formats for the C.UTF-8 locale.
const char kWithMarks[] =
    "msgid \"`\"\nmsgstr \"\xC2\xAB\"\n\n"
    "msgid \"'\"\nmsgstr \"\xC2\xBB\"\n\n"
    "msgid \"extra argument %s\"\nmsgstr \"surplus word %s\"\n\n"
    "msgid \"')' expected\"\nmsgstr \"a closing parenthesis was expected\"\n\n"
    "msgid \"invalid integer %s\"\nmsgstr \"%s is no integer (100%%)\"\n";

// Formats only, for the language "xx".
const char kFormatsOnly[] =
    "msgid \"extra argument %s\"\nmsgstr \"left over: %s\"\n\n"
    "msgid \"%s: unary operator expected\"\nmsgstr \"unknown test %s\"\n";

// Builds the catalogue of the domain for one locale directory, replacing any earlier one at once.
bool install_catalogue(const std::string& locale, const std::string& entries) {
  ScratchDirectory scratch;
  const std::string po = scratch / "quillkit.po";
  write_file(po, kPoHeader + entries);
  const std::string directory = kCatalogueDirectory + "/" + locale + "/LC_MESSAGES";
  for (const std::string& part : {kCatalogueDirectory, kCatalogueDirectory + "/" + locale, directory}) {
    mkdir(part.c_str(), 0755);
  }
  const std::string partial = directory + "/quillkit.mo." + std::to_string(getpid());
  if (!run_tool({"msgfmt", "-c", "-o", partial, po})) return false;
  return std::rename(partial.c_str(), (directory + "/quillkit.mo").c_str()) == 0;
}

class Catalogue : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    installed_ = install_catalogue("C.UTF-8", kWithMarks) && install_catalogue("xx", kFormatsOnly);
  }
  void SetUp() override {
    if (!installed_) GTEST_SKIP() << "msgfmt (Debian package gettext) could not build the catalogues";
  }

  static void expect_message(const std::vector<std::string>& words, const std::vector<std::string>& environment,
                             const std::string& message) {
    RunOptions options;
    options.environment = environment;
    RunResult result = run_program(kProgram, words, options);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.error, "test: " + message + "\n");
  }

  static bool installed_;
};

bool Catalogue::installed_ = false;

TEST_F(Catalogue, TranslatedFormatsAndMarksAreUsed) {
  const std::vector<std::string> utf8{"LC_ALL=C.UTF-8"};
  expect_message({"a", "=", "a", "c"}, utf8, "surplus word \xC2\xAB" "c\xC2\xBB");
  expect_message({"a", "=", "a", "x\xC2\xBBy"}, utf8, "surplus word \xC2\xABx\\\xC2\xBBy\xC2\xBB");
  expect_message({"x", "-a", "(", "y"}, utf8, "a closing parenthesis was expected");
  expect_message({"z", "-eq", "1"}, utf8, "\xC2\xABz\xC2\xBB is no integer (100%)");
}

TEST_F(Catalogue, UntranslatedFormatsStillUseTranslatedMarks) {
  expect_message({"a", "b"}, {"LC_ALL=C.UTF-8"}, "missing argument after \xC2\xAB" "b\xC2\xBB");
}

TEST_F(Catalogue, WithoutTranslatedMarksTheLocaleDefaultsApply) {
  const std::vector<std::string> language{"LC_ALL=C.UTF-8", "LANGUAGE=xx"};
  expect_message({"a", "=", "a", "c"}, language, "left over: \u2018" "c\u2019");
  expect_message({"-q", "x"}, language, "unknown test -q");
  expect_message({"a", "b"}, language, "missing argument after \u2018" "b\u2019");
}

TEST_F(Catalogue, TheCLocaleIsNeverTranslated) {
  expect_message({"a", "=", "a", "c"}, {"LC_ALL=C", "LANGUAGE=xx"}, "extra argument 'c'");
}

TEST(ShippedCatalogueDirectory, IsTheSystemDirectory) {
  EXPECT_STREQ(TEVU_CONDITION_TEST_SHIPPED_LOCALEDIR, "/usr/share/locale");
}

}  // namespace
}  // namespace tevu::condition::testing
