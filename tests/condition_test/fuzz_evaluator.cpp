// libFuzzer target: any word vector is evaluated to a truth value or a syntax error, never a crash.
// The input is the words separated by NUL bytes; its first byte picks the C or a UTF-8 locale, so
// that the quoting of error operands is exercised in both.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "evaluation.h"
#include "quoting.h"
#include "thrown_syntax_errors.h"
#include "word_vector.h"

namespace {

constexpr std::size_t kMaxWords = 4096;

std::vector<const char*> split_words(const std::string& text) {
  std::vector<const char*> args{"test"};
  for (std::size_t start = 0; start <= text.size() && args.size() <= kMaxWords;) {
    args.push_back(text.c_str() + start);
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  args.push_back(nullptr);
  return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  tevu::condition::testing::throw_syntax_errors();
  std::setlocale(LC_ALL, (data[0] & 1) ? "C.UTF-8" : "C");
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<const char*> args = split_words(text);
  const int argc = static_cast<int>(args.size() - 1);
  try {
    tevu::condition::Evaluator evaluator(argc, args.data());
    evaluator.evaluate();
  } catch (const tevu::condition::SyntaxError& error) {
    if (!error.format) std::abort();
    if (error.operand) {
      const char* quoted = tevu::condition::quote_for_message(error.operand);
      if (std::strlen(quoted) < 2) std::abort();  // at least the two marks
    }
  }
  return 0;
}
