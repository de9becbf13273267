// The program under an address-space limit (prlimit --as). For each case the smallest limit at which
// a plain one-word run of the same argument size still succeeds is found first; at that limit and a
// few pages above it, syntax errors must still print their diagnostic with status 2, and valid
// expressions must still evaluate. Deep expressions, and long locale variables under a stack limit
// (prlimit --stack), are run at every page of limit up to the smallest one at which they evaluate:
// they may run out of memory there, but never end by a signal.
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
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
// The pages of limit swept over the smallest limit at which a case evaluates, and the limits far
// over it.
constexpr long kSweptPagesOver = 4;
constexpr long kFarAbove[] = {1L << 20, 8L << 20, 64L << 20};

std::string prlimit_path() {
  for (const char* path : {"/usr/bin/prlimit", "/bin/prlimit", "/usr/sbin/prlimit", "/sbin/prlimit"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

// A limit of prlimit (its option), with the variables added to the program's environment; and,
// for a sweep, the pages of limit swept under the smallest one at which a case evaluates.
struct Limit {
  std::string option;
  std::vector<std::string> environment;
  long pages_under;
};

const Limit kAddressSpace{"--as", {}, 48};

RunResult run_limited(long limit, const std::vector<std::string>& words, const Limit& kind = kAddressSpace) {
  std::vector<std::string> command{kind.option + "=" + std::to_string(limit), kProgram};
  command.insert(command.end(), words.begin(), words.end());
  RunOptions options;
  options.argv0 = "prlimit";
  options.environment = kind.environment;
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

struct Case {
  std::vector<std::string> words;
  int status;
  std::string message;  // after "PROGRAM: "; empty: nothing on standard error
};

std::string expected_error(const Case& c) { return c.message.empty() ? "" : kProgram + ": " + c.message + "\n"; }

bool ended_as(const RunResult& result, const Case& c) {
  return result.signal == 0 && result.exit_status == c.status && result.error == expected_error(c);
}

bool reported_exhaustion(const RunResult& result) {
  return result.signal == 0 && result.exit_status == 2 && result.error == kProgram + ": memory exhausted\n";
}

// The smallest page-aligned limit at which works(limit) holds, taken to hold at every larger limit;
// 0 when it does not hold even at the largest limit tried.
template <typename Works>
long smallest_limit(Works works) {
  long fails = 0, succeeds = kLargestLimit;
  if (!works(succeeds)) return 0;
  while (succeeds - fails > kPage) {
    const long middle = (fails + succeeds) / 2 / kPage * kPage;
    (works(middle) ? succeeds : fails) = middle;
  }
  return succeeds;
}

// The smallest limit at which the program evaluates a single word of the given size.
long smallest_workable_limit(const std::string& word) {
  return smallest_limit([&word](long limit) { return ended_as(run_limited(limit, {word}), {{word}, 0, ""}); });
}

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
  for (long pages : kPagesAbove) {
    RunResult result = run_limited(limit + pages * kPage, c.words);
    EXPECT_EQ(result.signal, 0) << describe(c, limit, pages) << ": " << result.error;
    if (allow_exhaustion && reported_exhaustion(result)) continue;
    EXPECT_EQ(result.exit_status, c.status) << describe(c, limit, pages);
    EXPECT_EQ(result.error, expected_error(c)) << describe(c, limit, pages);
  }
}

std::vector<std::string> chain(int operands, const std::string& last) {
  std::vector<std::string> words{"a"};
  for (int i = 1; i < operands; ++i) words.insert(words.end(), {"-a", i + 1 == operands ? last : "a"});
  return words;
}

// The words of unit the given number of times over, then those of tail.
std::vector<std::string> repeated(const std::vector<std::string>& unit, std::size_t times,
                                  const std::vector<std::string>& tail) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i < times; ++i) words.insert(words.end(), unit.begin(), unit.end());
  words.insert(words.end(), tail.begin(), tail.end());
  return words;
}

// The dynamic loader could not set the program up (map a library, allocate thread-local storage):
// the program itself, whose statuses are 0 to 2, never ran.
bool loader_failed(const RunResult& result) { return result.signal == 0 && result.exit_status == 127; }

std::string outcome(const RunResult& result) {
  if (result.signal != 0) return "signal " + std::to_string(result.signal);
  return "status " + std::to_string(result.exit_status) + ", \"" + result.error.substr(0, 200) + "\"";
}

// Runs a case page by page from under the smallest limit at which it evaluates to a little over it,
// where the program runs out of memory somewhere between being loaded and evaluating, and then far
// over it. The address-space layout changes from run to run, so each limit is run several times.
// Every run must end in the expected result or in the program's "memory exhausted" (or, before the
// program runs, in the loader's failure to map a library), and never by a signal; far over the
// limit only the expected result will do.
void expect_no_signal_under_limits(const Case& c, int runs_per_limit, const Limit& kind = kAddressSpace) {
  const long limit = smallest_limit([&](long candidate) { return ended_as(run_limited(candidate, c.words, kind), c); });
  ASSERT_NE(limit, 0) << describe(c, kLargestLimit, 0) << ": not evaluated";
  std::map<std::string, std::vector<long>> unexpected;  // the limits of each unexpected outcome
  for (long page = -kind.pages_under; page <= kSweptPagesOver; ++page) {
    for (int run = 0; run < runs_per_limit; ++run) {
      RunResult result = run_limited(limit + page * kPage, c.words, kind);
      if (ended_as(result, c) || reported_exhaustion(result) || loader_failed(result)) continue;
      unexpected[outcome(result)].push_back(limit + page * kPage);
    }
  }
  for (long above : kFarAbove) {
    RunResult result = run_limited(limit + above, c.words, kind);
    if (!ended_as(result, c)) unexpected[outcome(result)].push_back(limit + above);
  }
  std::string report;
  for (const auto& [ending, limits] : unexpected) {
    report += "\n  " + ending + " in " + std::to_string(limits.size()) + " runs, limits " +
              std::to_string(limits.front()) + " to " + std::to_string(limits.back());
  }
  EXPECT_TRUE(unexpected.empty()) << describe(c, limit, 0) << report;
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

// Expressions of 16000 to 40000 words: groups that never close, groups that do, negations, nesting
// and "-a"/"-o" chains. Their arguments fill the stack the program starts with, so the stack it
// needs beyond them has to be grown within the limit.
TEST_F(MemoryLimit, DeepExpressionsNeverEndBySignal) {
  const std::vector<std::string> open_negated_or{"(", "!", "x", "-o"};
  expect_no_signal_under_limits({repeated(open_negated_or, 10000, {"x"}), 2, "')' expected"}, 2);
  std::vector<std::string> closed = repeated(open_negated_or, 4000, {"x"});
  closed.insert(closed.end(), 4000, ")");
  for (const Case& c : std::vector<Case>{
           {closed, 1, ""},
           {repeated({"!"}, 16001, {""}), 0, ""},
           {nested_groups(4000, ""), 1, ""},
           {repeated({"x", "-a", "", "-o"}, 4000, {"x"}), 0, ""},
       }) {
    expect_no_signal_under_limits(c, 1);
  }
}

// The C library copies LANGUAGE (looking a message up) and GCONV_PATH (setting up conversion) onto
// the stack whole: with long values, a diagnostic under a stack limit ends as it should or in
// "memory exhausted" too. The sweep stays above the stack the loader itself needs.
TEST_F(MemoryLimit, LongLocaleVariablesUnderStackLimits) {
  const Limit stack{"--stack",
                    {"LC_ALL=C.UTF-8", "LANGUAGE=" + std::string(100000, 'q'), "GCONV_PATH=" + std::string(20000, 'q')},
                    16};
  expect_no_signal_under_limits({{"x", "-a", "(", "y"}, 2, "')' expected"}, 2, stack);
}

}  // namespace
}  // namespace tevu::condition::testing
