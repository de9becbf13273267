// The program run as a process: exit status and standard error for word vectors of every kind.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "expressions.h"
#include "process.h"
#include "scratch.h"

namespace tevu::condition::testing {
namespace {

const std::string kProgram = TEVU_CONDITION_TEST_PROGRAM;

// One run: the words, the expected status, and the expected message after "test: " (empty: no
// output on standard error at all).
struct Case {
  std::vector<std::string> words;
  int status;
  std::string message;
};

std::string describe(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    text += "[" + word.substr(0, 40) + (word.size() > 40 ? "...]" : "]");
    if (text.size() > 300) return text + " (" + std::to_string(words.size()) + " words)";
  }
  return text;
}

void expect_case(const Case& c, const RunOptions& options = {}) {
  RunResult result = run_program(kProgram, c.words, options);
  EXPECT_EQ(result.exit_status, c.status) << describe(c.words);
  std::string expected = c.message.empty() ? "" : options.argv0 + ": " + c.message + "\n";
  EXPECT_EQ(result.error, expected) << describe(c.words);
}

void expect_cases(const std::vector<Case>& cases, const RunOptions& options = {}) {
  for (const Case& c : cases) expect_case(c, options);
}

TEST(Grammar, FixedCountRules) {
  expect_cases({
      {{}, 1, ""},
      {{""}, 1, ""},
      {{"x"}, 0, ""},
      {{"-f"}, 0, ""},
      {{"!"}, 0, ""},
      {{"("}, 0, ""},
      {{"-n"}, 0, ""},
      {{"--help"}, 0, ""},
      {{"--version"}, 0, ""},
      {{"]"}, 0, ""},
      {{"!", ""}, 0, ""},
      {{"!", "x"}, 1, ""},
      {{"a", "b"}, 2, "missing argument after 'b'"},
      {{"-q", "x"}, 2, "-q: unary operator expected"},
      {{"-ab", "x"}, 2, "missing argument after 'x'"},
      {{"!", "-f"}, 1, ""},
      {{"-n", ""}, 1, ""},
      {{"-z", ""}, 0, ""},
      {{"a", "-x", "b"}, 2, "-x: binary operator expected"},
      {{"x", "y", "z"}, 2, "y: binary operator expected"},
      {{"", "", ""}, 2, ": binary operator expected"},
      {{"!", "=", "!"}, 0, ""},
      {{"(", "=", ")"}, 1, ""},
      {{"(", "x", ")"}, 0, ""},
      {{"(", "", ")"}, 1, ""},
      {{"!", "-n", "x"}, 1, ""},
      {{"!", "a", "b"}, 2, "missing argument after 'b'"},
      {{"!", "a", "=", "a"}, 1, ""},
      {{"!", "a", "-a", ""}, 0, ""},
      {{"(", "!", "x", ")"}, 1, ""},
      {{"(", "-q", "x", ")"}, 2, "-q: unary operator expected"},
      {{"x", "-a"}, 2, "missing argument after '-a'"},
      {{"x", "-a", "y", "-a"}, 2, "missing argument after '-a'"},
      {{"x", "-a", ""}, 1, ""},
      {{"x", "-o", ""}, 0, ""},
      {{"a", "=", "b", "c"}, 2, "extra argument 'c'"},
      {{"-N", "x"}, 2, "extra argument '-N'"},
      {{"-o", "x"}, 2, "extra argument '-o'"},
  });
}

TEST(Grammar, GeneralGrammar) {
  expect_cases({
      {{"x", "-o", "y", "-a", ""}, 0, ""},
      {{"", "-o", "y", "-a", ""}, 1, ""},
      {{"", "-a", "y", "-o", "z"}, 0, ""},
      {{"!", "a", "-a", "b", "-a", "c"}, 1, ""},
      {{"!", "", "-a", "b", "-a", "c"}, 0, ""},
      {{"!", "!", "", "-o", "", "-o", "x"}, 0, ""},
      {{"1", "-eq", "2", "-a", "x", "-eq", "1"}, 2, "invalid integer 'x'"},
      {{"1", "-eq", "1", "-o", "x", "-eq", "1"}, 2, "invalid integer 'x'"},
      {{"(", "1", "-lt", "-l", "ab", ")", "-a", "c"}, 0, ""},
      // Four words in the group take the four-word rule, where "!" negates the whole group.
      {{"(", "!", "a", "-a", "", ")", "-a", "x"}, 0, ""},
      {{"!", "a", "-a", "", "-a", "x"}, 1, ""},
      {{"(", "a", "b", "c", "d", "e"}, 2, "')' expected, found b"},
      {{"x", "-a", "(", "y"}, 2, "')' expected"},
      {{"x", "-a", "(", "y", "-a", "z", "-o", ""}, 2, "')' expected"},
      {{"x", "-a", "(", "y", "z"}, 2, "missing argument after 'z'"},
      {{"(", "(", "a", "-a", "", ")", "-o", "b", ")"}, 0, ""},
      {{"(", "(", "a", "-a", "", ")", "-o", "", ")", "-o", ""}, 1, ""},
      {{"!", "(", "x", ")", "-a", "y"}, 1, ""},
      {{"x", "-a", "!", "(", "", ")"}, 0, ""},
      {{"x", "-a", "!"}, 2, "missing argument after '!'"},
      {{"x", "-a", "y", "-o", "!"}, 2, "missing argument after '!'"},
      {{"x", "-a", "("}, 2, "missing argument after '('"},
      {{"x", "-a", "-f"}, 2, "missing argument after '-f'"},
      {{"x", "-a", "-q", "y", "z"}, 2, "-q: unary operator expected"},
      {{"x", "-a", "y", "z", "w"}, 2, "extra argument 'z'"},
      {{"-l", "abc", "-eq", "3", "-a", "x"}, 0, ""},
      {{"x", "-a", "-N", "-o", "y"}, 2, "extra argument '-N'"},
  });
}

TEST(Primaries, StringsAndIntegers) {
  expect_cases({
      {{"abc", "=", "abc"}, 0, ""},
      {{"abc", "==", "abd"}, 1, ""},
      {{"abc", "!=", "abd"}, 0, ""},
      {{"", "=", ""}, 0, ""},
      {{"A", "=", "a"}, 1, ""},
      {{"007", "-eq", "7"}, 0, ""},
      {{"-0", "-eq", "0"}, 0, ""},
      {{"+5", "-eq", "5"}, 0, ""},
      {{" 12 ", "-eq", "12"}, 0, ""},
      {{"\t-3", "-lt", "+2\t"}, 0, ""},
      {{"5", "-ne", "5"}, 1, ""},
      {{"5", "-le", "5"}, 0, ""},
      {{"5", "-ge", "6"}, 1, ""},
      {{"5", "-gt", "-6"}, 0, ""},
      {{"10", "-gt", "9"}, 0, ""},
      {{std::string(25, '9'), "-gt", "1"}, 0, ""},
      {{"-" + std::string(20, '9'), "-lt", "-9"}, 0, ""},
      {{"5x", "-eq", "5"}, 2, "invalid integer '5x'"},
      {{"", "-eq", "0"}, 2, "invalid integer ''"},
      {{"-", "-eq", "0"}, 2, "invalid integer '-'"},
      {{"+-5", "-eq", "5"}, 2, "invalid integer '+-5'"},
      {{"1 2", "-eq", "12"}, 2, "invalid integer '1 2'"},
      {{"1.0", "-eq", "1"}, 2, "invalid integer '1.0'"},
      {{"a", "-eq", "b"}, 2, "invalid integer 'a'"},
      {{"1", "-eq", "b"}, 2, "invalid integer 'b'"},
      {{"-l", "abc", "-eq", "3"}, 0, ""},
      {{"3", "-eq", "-l", "abc"}, 0, ""},
      {{"-l", "abc", "-gt", "-l", "ab"}, 0, ""},
      {{"-l", "", "-eq", "0"}, 0, ""},
      {{"-l", "abc", "=", "abc"}, 0, ""},
      {{"a", "=", "-l", "a"}, 0, ""},
      {{"a", "!=", "-l", "b"}, 0, ""},
      {{"a", "=", "-l"}, 1, ""},
      {{"a", "-nt", "-l", "b"}, 2, "-nt does not accept -l"},
      {{"-l", "a", "-ot", "b"}, 2, "-ot does not accept -l"},
      {{"a", "-ef", "-l", "b"}, 2, "-ef does not accept -l"},
      {{"-t", "x"}, 2, "invalid integer 'x'"},
      {{"-t", "2147483648"}, 1, ""},
      {{"-t", "-1"}, 1, ""},
      {{"-t", std::string(30, '9')}, 1, ""},
      {{"-t", "0"}, 1, ""},
      {{"-t", "1"}, 1, ""},
  });
}

TEST(Primaries, TerminalDescriptor) {
  RunOptions on_terminal;
  on_terminal.output = StandardOutput::terminal;
  expect_cases({{{"-t", "1"}, 0, ""}, {{"-t", " +1 "}, 0, ""}, {{"-t", "0"}, 1, ""}}, on_terminal);
}

// Files of every kind in one directory; the tests run the program inside it.
class Files : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new ScratchDirectory();
    const ScratchDirectory& dir = *scratch_;
    write_file(dir / "file", "data");
    write_file(dir / "empty", "");
    write_file(dir / "exec", "#!/bin/sh\n");
    chmod((dir / "exec").c_str(), 0755);
    write_file(dir / "noexec", "x");
    chmod((dir / "noexec").c_str(), 0644);
    mkdir((dir / "dir").c_str(), 0755);
    mkdir((dir / "sticky").c_str(), 0755);
    chmod((dir / "sticky").c_str(), 01777);
    write_file(dir / "setuid", "x");
    chmod((dir / "setuid").c_str(), 04755);
    write_file(dir / "setgid", "x");
    chmod((dir / "setgid").c_str(), 02755);
    symlink("file", (dir / "link").c_str());
    symlink("dir", (dir / "linkdir").c_str());
    symlink("missing", (dir / "dangling").c_str());
    link((dir / "file").c_str(), (dir / "hardlink").c_str());
    mkfifo((dir / "fifo").c_str(), 0644);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string socket_path = dir / "socket";
    if (socket_path.size() < sizeof address.sun_path) {
      socket_path.copy(address.sun_path, socket_path.size());
      bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    close(sock);
    write_file(dir / "old", "o");
    write_file(dir / "new", "n");
    const timespec old_times[2] = {{1000000000, 100}, {1000000000, 100}};
    const timespec new_times[2] = {{1000000000, 200}, {1000000000, 200}};
    utimensat(AT_FDCWD, (dir / "old").c_str(), old_times, 0);
    utimensat(AT_FDCWD, (dir / "new").c_str(), new_times, 0);
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }

  static RunOptions inside() {
    RunOptions options;
    options.directory = scratch_->path();
    return options;
  }

  static bool has_mode_bits(const std::string& name, mode_t bits) {
    struct stat status;
    return lstat((*scratch_ / name).c_str(), &status) == 0 && (status.st_mode & bits) == bits;
  }

  static ScratchDirectory* scratch_;
};

ScratchDirectory* Files::scratch_ = nullptr;

TEST_F(Files, TypesAndSizes) {
  expect_cases({
      {{"-e", "file"}, 0, ""},       {{"-a", "file"}, 0, ""},       {{"-e", "missing"}, 1, ""},
      {{"-e", ""}, 1, ""},           {{"-f", "file"}, 0, ""},       {{"-f", "dir"}, 1, ""},
      {{"-f", "link"}, 0, ""},       {{"-d", "dir"}, 0, ""},        {{"-d", "file"}, 1, ""},
      {{"-d", "linkdir/"}, 0, ""},   {{"-s", "file"}, 0, ""},       {{"-s", "empty"}, 1, ""},
      {{"-s", "missing"}, 1, ""},    {{"-p", "fifo"}, 0, ""},       {{"-p", "file"}, 1, ""},
      {{"-S", "socket"}, 0, ""},     {{"-S", "fifo"}, 1, ""},       {{"-c", "/dev/null"}, 0, ""},
      {{"-c", "file"}, 1, ""},       {{"-b", "/dev/null"}, 1, ""},  {{"-b", "dir"}, 1, ""},
      {{"-r", "file"}, 0, ""},       {{"-r", "missing"}, 1, ""},    {{"-w", "missing"}, 1, ""},
      {{"-x", "exec"}, 0, ""},       {{"-x", "noexec"}, 1, ""},     {{"-x", "missing"}, 1, ""},
      {{"-O", "file"}, 0, ""},       {{"-O", "missing"}, 1, ""},    {{"-G", "missing"}, 1, ""},
      {{"-u", "file"}, 1, ""},       {{"-g", "file"}, 1, ""},       {{"-k", "dir"}, 1, ""},
      {{"-u", "missing"}, 1, ""},
  }, inside());
}

TEST_F(Files, SymbolicLinksAndTrailingSlash) {
  expect_cases({
      {{"-h", "link"}, 0, ""},      {{"-L", "link"}, 0, ""},      {{"-h", "file"}, 1, ""},
      {{"-L", "dangling"}, 0, ""},  {{"-e", "dangling"}, 1, ""},  {{"-f", "dangling"}, 1, ""},
      {{"-h", "link/"}, 1, ""},     {{"-L", "linkdir/"}, 1, ""},  {{"-h", "linkdir"}, 0, ""},
      {{"-h", "dangling/"}, 1, ""}, {{"-h", "missing"}, 1, ""},   {{"-L", "dir/"}, 1, ""},
  }, inside());
}

TEST_F(Files, SpecialModeBits) {
  if (!has_mode_bits("setuid", S_ISUID) || !has_mode_bits("setgid", S_ISGID) ||
      !has_mode_bits("sticky", S_ISVTX)) {
    GTEST_SKIP() << "this file system does not keep set-user-ID, set-group-ID or sticky bits";
  }
  expect_cases({
      {{"-u", "setuid"}, 0, ""}, {{"-g", "setuid"}, 1, ""}, {{"-g", "setgid"}, 0, ""},
      {{"-u", "setgid"}, 1, ""}, {{"-k", "sticky"}, 0, ""}, {{"-k", "setuid"}, 1, ""},
  }, inside());
}

TEST_F(Files, OwnerAndGroup) {
  struct stat status;
  ASSERT_EQ(stat((*scratch_ / "file").c_str(), &status), 0);
  if (status.st_gid != getegid()) GTEST_SKIP() << "new files do not get the effective group here";
  expect_case({{"-G", "file"}, 0, ""}, inside());
  if (geteuid() != 0) GTEST_SKIP() << "giving a file away needs root";
  write_file(*scratch_ / "foreign", "x");
  ASSERT_EQ(chown((*scratch_ / "foreign").c_str(), 54321, 54321), 0);
  expect_cases({{{"-O", "foreign"}, 1, ""}, {{"-G", "foreign"}, 1, ""}}, inside());
}

TEST_F(Files, BlockDevice) {
  for (const char* candidate : {"/dev/loop0", "/dev/sda", "/dev/vda", "/dev/nvme0n1"}) {
    struct stat status;
    if (stat(candidate, &status) == 0 && S_ISBLK(status.st_mode)) {
      expect_cases({{{"-b", candidate}, 0, ""}, {{"-c", candidate}, 1, ""}});
      return;
    }
  }
  GTEST_SKIP() << "no block device to look at on this machine";
}

TEST_F(Files, TimesAndIdentity) {
  struct stat old_status, new_status;
  ASSERT_EQ(stat((*scratch_ / "old").c_str(), &old_status), 0);
  ASSERT_EQ(stat((*scratch_ / "new").c_str(), &new_status), 0);
  if (old_status.st_mtim.tv_nsec == new_status.st_mtim.tv_nsec) {
    GTEST_SKIP() << "this file system does not keep nanosecond times";
  }
  ASSERT_EQ(old_status.st_mtim.tv_sec, new_status.st_mtim.tv_sec);
  expect_cases({
      {{"new", "-nt", "old"}, 0, ""},      {{"old", "-nt", "new"}, 1, ""},
      {{"old", "-ot", "new"}, 0, ""},      {{"new", "-ot", "old"}, 1, ""},
      {{"file", "-nt", "missing"}, 0, ""}, {{"missing", "-nt", "file"}, 1, ""},
      {{"missing", "-nt", "gone"}, 1, ""}, {{"file", "-ot", "missing"}, 1, ""},
      {{"missing", "-ot", "file"}, 0, ""}, {{"missing", "-ot", "gone"}, 1, ""},
      {{"file", "-nt", "file"}, 1, ""},    {{"file", "-ot", "file"}, 1, ""},
      {{"file", "-ef", "file"}, 0, ""},    {{"file", "-ef", "hardlink"}, 0, ""},
      {{"link", "-ef", "file"}, 0, ""},    {{"file", "-ef", "empty"}, 1, ""},
      {{"missing", "-ef", "missing"}, 1, ""}, {{"dangling", "-ef", "dangling"}, 1, ""},
  }, inside());
}

TEST(FrontEnd, InvocationNameStartsSyntaxErrors) {
  RunOptions by_path;
  by_path.argv0 = "/usr/bin/test";
  expect_case({{"a", "b"}, 2, "missing argument after 'b'"}, by_path);
  RunOptions bracket;
  bracket.argv0 = "[";
  expect_case({{"x", "]"}, 2, "missing argument after ']'"}, bracket);
  RunOptions wrapped;
  wrapped.argv0 = "dir/.libs/lt-test";
  expect_case({{"a", "=", "a", "c"}, 2, "extra argument 'c'"}, wrapped);
}

TEST(FrontEnd, EmptyArgumentVector) {
  RunOptions options;
  options.null_argv0 = true;
  RunResult result = run_program(kProgram, {}, options);
  if (result.signal == 0) {
    // Newer kernels never start a program without arguments: they pass an empty argv[0] instead.
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.error, "");
    return;
  }
  EXPECT_EQ(result.signal, SIGABRT);
  EXPECT_EQ(result.error, "A NULL argv[0] was passed through an exec system call.\n");
}

TEST(FrontEnd, StandardOutputThatCannotBeWrittenDoesNotMatter) {
  for (StandardOutput output : {StandardOutput::closed, StandardOutput::full_device}) {
    RunOptions options;
    options.output = output;
    expect_cases({{{"x"}, 0, ""}, {{""}, 1, ""}, {{"a", "b"}, 2, "missing argument after 'b'"}}, options);
  }
}

TEST(Quoting, OperandsInTheCLocale) {
  expect_cases({
      {{"a", "=", "a", "it's"}, 2, "extra argument 'it\\'s'"},
      {{"a", "=", "a", "a\tb\nc"}, 2, "extra argument 'a\\tb\\nc'"},
      {{"a", "=", "a", "back\\slash"}, 2, "extra argument 'back\\\\slash'"},
      {{"a", "=", "a", "\x01"}, 2, "extra argument '\\001'"},
      {{"a", "=", "a", "\xc3\xa9"}, 2, "extra argument '\\303\\251'"},
      {{"a", "=", "a", ""}, 2, "extra argument ''"},
      {{"x\ty", "-eq", "1"}, 2, "invalid integer 'x\\ty'"},
      {{"a\tb", "-x", "c"}, 2, "-x: binary operator expected"},
      {{"a", "b\tc"}, 2, "missing argument after 'b\\tc'"},
  });
}

TEST(Quoting, LongOperandShownWhole) {
  const std::string word(300, 'w');
  expect_case({{"a", "=", "a", word}, 2, "extra argument '" + word + "'"});
  const std::string quoted(200, 'q');
  expect_case({{"a", "=", "a", quoted + "'"}, 2, "extra argument '" + quoted + "\\''"});
}

TEST(Quoting, OperandsInUtf8) {
  RunOptions utf8;
  utf8.environment = {"LC_ALL=C.UTF-8"};
  expect_cases({
      {{"a", "=", "a", "c"}, 2, "extra argument \u2018c\u2019"},
      {{"a", "=", "a", "it's"}, 2, "extra argument \u2018it's\u2019"},
      {{"a", "=", "a", "a\u2019b"}, 2, "extra argument \u2018a\\\u2019b\u2019"},
      {{"a", "=", "a", "\xff"}, 2, "extra argument \u2018\\377\u2019"},
      {{"a", "=", "a", "x\xe2\x80"}, 2, "extra argument \u2018x\\342\\200\u2019"},
      {{"a", "=", "a", "\xc2\x85"}, 2, "extra argument \u2018\\302\\205\u2019"},
      {{"\xff", "-eq", "1"}, 2, "invalid integer \u2018\\377\u2019"},
  }, utf8);
}

TEST(Quoting, OperandsInGb18030) {
  const std::string locales = generated_locale(TEVU_CONDITION_TEST_LOCALE_CACHE, "zh_CN.GB18030", "zh_CN",
                                               "GB18030");
  if (locales.empty()) {
    GTEST_SKIP() << "cannot build a GB18030 locale with localedef (the Debian package 'locales' "
                    "provides its sources)";
  }
  RunOptions gb18030;
  gb18030.environment = {"LC_ALL=zh_CN.GB18030", "LOCPATH=" + locales};
  // A two-byte character whose second byte is a backslash stays whole; the closing mark inside the
  // word is escaped; a lead byte at the end is an incomplete character.
  expect_cases({
      {{"a", "=", "a", "c"}, 2, "extra argument \xa1\xae" "c\xa1\xaf"},
      {{"a", "=", "a", "\x81\x5c"}, 2, "extra argument \xa1\xae\x81\x5c\xa1\xaf"},
      {{"a", "=", "a", "x\xa1\xafy"}, 2, "extra argument \xa1\xaex\\\xa1\xafy\xa1\xaf"},
      {{"a", "=", "a", "z\x81"}, 2, "extra argument \xa1\xaez\\201\xa1\xaf"},
  }, gb18030);
}

TEST(BadInput, HundredThousandWords) {
  std::vector<std::string> words{"x"};
  while (words.size() < 100001) {
    words.push_back("-a");
    words.push_back("x");
  }
  expect_case({words, 0, ""});
  words.back() = "";
  expect_case({words, 1, ""});
  words.back() = "-f";
  expect_case({words, 2, "missing argument after '-f'"});
  words.pop_back();
  expect_case({words, 2, "missing argument after '-a'"});
  std::vector<std::string> negations(100000, "!");
  negations.push_back("x");
  expect_case({negations, 0, ""});
}

TEST(BadInput, DeepParentheses) {
  const std::size_t depth = 30000;
  expect_case({nested_groups(depth, "x"), 0, ""});
  expect_case({nested_groups(depth, ""), 1, ""});
  std::vector<std::string> words = nested_groups(depth, "x");
  words.push_back(")");
  expect_case({words, 2, "extra argument ')'"});
  words.resize(words.size() - 2);
  expect_case({words, 2, "')' expected"});
  // The last group's count search runs into the end of the vector: "( ( (" is no expression.
  expect_case({std::vector<std::string>(100000, "("), 2, "(: binary operator expected"});
  // Around a single word the count search finds the innermost ")" early: the group before it has
  // three words, "( ( x", which is no expression.
  std::vector<std::string> bare(50000, "(");
  bare.push_back("x");
  bare.insert(bare.end(), 50000, ")");
  expect_case({bare, 2, "(: binary operator expected"});
}

TEST(BadInput, HundredThousandDigits) {
  const std::string ones(100000, '1');
  expect_cases({
      {{ones, "-eq", ones}, 0, ""},
      {{ones, "-gt", ones.substr(1)}, 0, ""},
      {{"-" + ones, "-lt", "-" + ones.substr(1)}, 0, ""},
      {{"000" + ones, "-eq", "+" + ones}, 0, ""},
      {{ones + "2", "-gt", ones + "1"}, 0, ""},
      {{"-l", ones, "-eq", "100000"}, 0, ""},
      {{ones + "x", "-eq", "1"}, 2, "invalid integer '" + ones + "x'"},
  });
}

TEST(BadInput, EmptyWordsEverywhere) {
  expect_cases({
      {{"", ""}, 2, "missing argument after ''"},
      {{"", "=", ""}, 0, ""},
      {{"", "", "", ""}, 2, "extra argument ''"},
      {{"(", "", "", ")"}, 2, "missing argument after ')'"},
      {{"", "-a", "", "-o", "", "-a", ""}, 1, ""},
      {{"-t", ""}, 2, "invalid integer ''"},
  });
}

}  // namespace
}  // namespace tevu::condition::testing
