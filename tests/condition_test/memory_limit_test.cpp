// The program under an address-space limit (prlimit --as). For each case the smallest limit at which
// a plain one-word run of the same argument size still succeeds is found first; at that limit and a
// few pages above it, syntax errors must still print their diagnostic with status 2, and valid
// expressions must still evaluate.
#include <unistd.h>

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "evaluation.h"
#include "expressions.h"
#include "process.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TEVU_PROGRAM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TEVU_PROGRAM_SANITIZED 1
#endif
#endif

namespace tevu::condition::testing {
namespace {

const std::string kProgram = TEVU_CONDITION_TEST_PROGRAM;
const long kPage = sysconf(_SC_PAGESIZE);
constexpr long kLargestLimit = 1L << 30;
// Pages above the smallest workable limit at which every case is checked.
constexpr long kPagesAbove[] = {0, 1, 2, 3, 8, 16};

std::string prlimit_path() {
  for (const char* path : {"/usr/bin/prlimit", "/bin/prlimit", "/usr/sbin/prlimit", "/sbin/prlimit"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

RunResult run_limited(long limit, const std::vector<std::string>& words) {
  std::vector<std::string> command{"--as=" + std::to_string(limit), kProgram};
  command.insert(command.end(), words.begin(), words.end());
  RunOptions options;
  options.argv0 = "prlimit";
  return run_program(prlimit_path(), command, options);
}

// One word that takes as much room among the program's arguments as the given words together
// (their bytes with terminators, and their pointers), so that both runs start from the same
// address-space use.
std::string word_of_same_size(const std::vector<std::string>& words) {
  std::size_t bytes = std::accumulate(words.begin(), words.end(), std::size_t{0},
                                      [](std::size_t sum, const std::string& word) { return sum + word.size() + 1; });
  bytes += sizeof(char*) * (words.size() - 1);
  return std::string(bytes - 1, 'x');
}

bool runs_plainly(long limit, const std::string& word) {
  RunResult result = run_limited(limit, {word});
  return result.exit_status == 0 && result.error.empty();
}

// The smallest page-aligned limit at which the program evaluates a single word of the given size;
// 0 when even the largest limit tried is not enough.
long smallest_workable_limit(const std::string& word) {
  long fails = 0, works = kLargestLimit;
  if (!runs_plainly(works, word)) return 0;
  while (works - fails > kPage) {
    const long middle = (fails + works) / 2 / kPage * kPage;
    (runs_plainly(middle, word) ? works : fails) = middle;
  }
  return works;
}

struct Case {
  std::vector<std::string> words;
  int status;
  std::string message;  // after "PROGRAM: "; empty: nothing on standard error
};

std::string describe(const Case& c, long limit, long pages_above) {
  return std::to_string(c.words.size()) + " words from [" + c.words.front() + "], limit " +
         std::to_string(limit) + " + " + std::to_string(pages_above) + " pages";
}

// Runs the case at its smallest workable limit and a few pages above; allow_exhaustion also accepts
// the program's own "memory exhausted" report.
void expect_under_limits(const Case& c, bool allow_exhaustion = false) {
  const std::string baseline = word_of_same_size(c.words);
  ASSERT_LT(baseline.size(), 128u * 1024) << "more than one argument may hold";
  const long limit = smallest_workable_limit(baseline);
  ASSERT_NE(limit, 0) << "the program does not run even with " << kLargestLimit << " bytes";
  const std::string expected = c.message.empty() ? "" : kProgram + ": " + c.message + "\n";
  const std::string exhausted = kProgram + ": memory exhausted\n";
  for (long pages : kPagesAbove) {
    RunResult result = run_limited(limit + pages * kPage, c.words);
    EXPECT_EQ(result.signal, 0) << describe(c, limit, pages) << ": " << result.error;
    if (allow_exhaustion && result.exit_status == 2 && result.error == exhausted) continue;
    EXPECT_EQ(result.exit_status, c.status) << describe(c, limit, pages);
    EXPECT_EQ(result.error, expected) << describe(c, limit, pages);
  }
}

std::vector<std::string> chain(int operands, const std::string& last) {
  std::vector<std::string> words{"a"};
  for (int i = 1; i < operands; ++i) words.insert(words.end(), {"-a", i + 1 == operands ? last : "a"});
  return words;
}

class MemoryLimit : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef TEVU_PROGRAM_SANITIZED
    GTEST_SKIP() << "a sanitized program reserves far more address space than any limit tried";
#endif
    ASSERT_FALSE(prlimit_path().empty()) << "prlimit (util-linux) is needed";
  }
};

TEST_F(MemoryLimit, SyntaxErrorsKeepTheirDiagnostic) {
  for (const Case& c : std::vector<Case>{
           {{"a", "b"}, 2, "missing argument after 'b'"},
           {{"-q", "x"}, 2, "-q: unary operator expected"},
           {{"x", "y", "z"}, 2, "y: binary operator expected"},
           {{"x", "-a", "(", "y"}, 2, "')' expected"},
           {{"a", "=", "b", "c"}, 2, "extra argument 'c'"},
           {{"5x", "-eq", "5"}, 2, "invalid integer '5x'"},
           {{"a", "-nt", "-l", "b"}, 2, "-nt does not accept -l"},
           {chain(21, "-f"), 2, "missing argument after '-f'"},
       }) {
    expect_under_limits(c);
  }
}

TEST_F(MemoryLimit, LongExpressionsEvaluate) {
  for (const Case& c : std::vector<Case>{
           {chain(21, "a"), 0, ""},
           {chain(21, ""), 1, ""},
           {chain(100, "a"), 0, ""},
           {nested_groups(8, "x"), 0, ""},
           {nested_groups(60, ""), 1, ""},
       }) {
    expect_under_limits(c);
  }
}

// A quoted operand of more than 255 bytes, and nesting deeper than the evaluator reserves for, ask
// for memory of their own: they may end in "memory exhausted", but in nothing worse.
TEST_F(MemoryLimit, LargeInputsMayRunOutOfMemoryCleanly) {
  const std::string long_word(400, 'w');
  expect_under_limits({{"a", "=", "a", long_word}, 2, "extra argument '" + long_word + "'"}, true);
  expect_under_limits({nested_groups(Evaluator::kReservedGroupDepth + 500, "x"), 0, ""}, true);
}

}  // namespace
}  // namespace tevu::condition::testing
