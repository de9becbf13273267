// Benchmark of the condition-test program: evaluation time for long expressions and long integers
// (in-process, median of repeated runs), and the cost of the whole process for a simple expression
// against a program that only returns 0 (medians of alternating runs).
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "evaluation.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Expression {
  std::vector<std::string> words;
  std::vector<const char*> args;

  explicit Expression(std::vector<std::string> operands) : words(std::move(operands)) {
    words.insert(words.begin(), "test");
    for (const std::string& word : words) args.push_back(word.c_str());
    args.push_back(nullptr);
  }
};

// Median microseconds of one evaluation, the evaluator's set-up included.
double time_evaluation(const Expression& expression, int repetitions, bool expected) {
  std::vector<double> samples;
  for (int i = 0; i < repetitions; ++i) {
    auto start = Clock::now();
    tevu::condition::Evaluator evaluator(static_cast<int>(expression.words.size()), expression.args.data());
    bool result = evaluator.evaluate();
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (result != expected) {
      std::fprintf(stderr, "unexpected result\n");
      std::exit(1);
    }
  }
  return median(samples);
}

std::vector<std::string> connective_chain(int words) {
  std::vector<std::string> chain{"x"};
  while (static_cast<int>(chain.size()) + 2 <= words) chain.insert(chain.end(), {"-a", "x"});
  return chain;
}

std::vector<std::string> nested_groups(int words) {
  std::vector<std::string> nested;
  int depth = (words - 1) / 4;
  for (int i = 0; i < depth; ++i) nested.insert(nested.end(), {"(", "x", "-a"});
  nested.push_back("x");
  nested.insert(nested.end(), depth, ")");
  return nested;
}

// Microseconds of one spawn-and-wait of the program.
double time_process(const char* program, char* const* argv) {
  auto start = Clock::now();
  pid_t child;
  if (posix_spawn(&child, program, nullptr, nullptr, argv, environ) != 0) {
    std::perror(program);
    std::exit(1);
  }
  int status;
  waitpid(child, &status, 0);
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void report_evaluation(const char* what, const Expression& expression, int repetitions, bool expected) {
  std::printf("%-44s %10.1f us\n", what, time_evaluation(expression, repetitions, expected));
}

}  // namespace

int main(int argc, char** argv) {
  const int process_runs = argc > 1 ? std::atoi(argv[1]) : 2000;
  std::printf("evaluation (median of repeated runs):\n");
  report_evaluation("10,000-word chain x -a x ...", Expression(connective_chain(10001)), 200, true);
  report_evaluation("100,000-word chain x -a x ...", Expression(connective_chain(100001)), 50, true);
  report_evaluation("10,000-word nested groups ( x -a ( ... ) )", Expression(nested_groups(10001)), 200, true);
  report_evaluation("100,000-word nested groups", Expression(nested_groups(100001)), 50, true);
  const std::string d10k(10000, '7'), d100k(100000, '7');
  report_evaluation("10,000-digit integers, -eq", Expression({d10k, "-eq", d10k}), 200, true);
  report_evaluation("100,000-digit integers, -eq", Expression({d100k, "-eq", d100k}), 50, true);

  char test_name[] = "test", a[] = "a", eq[] = "=", trivial_name[] = "trivial";
  char* test_argv[] = {test_name, a, eq, a, nullptr};
  char* trivial_argv[] = {trivial_name, nullptr};
  std::vector<double> test_times, trivial_times;
  for (int i = 0; i < process_runs; ++i) {
    test_times.push_back(time_process(TEVU_BENCH_TEST_PROGRAM, test_argv));
    trivial_times.push_back(time_process(TEVU_BENCH_TRIVIAL_PROGRAM, trivial_argv));
  }
  const double test_median = median(test_times), trivial_median = median(trivial_times);
  std::printf("whole process, median of %d alternating runs each:\n", process_runs);
  std::printf("%-44s %10.1f us\n", "test a = a", test_median);
  std::printf("%-44s %10.1f us\n", "program that only returns 0", trivial_median);
  std::printf("%-44s %10.2f\n", "ratio (target at most 1.30)", test_median / trivial_median);
  return 0;
}
