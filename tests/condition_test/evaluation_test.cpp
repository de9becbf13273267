// The evaluator in-process: it allocates nothing while it evaluates, whatever the input size.
#include "evaluation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "expressions.h"
#include "thrown_syntax_errors.h"

namespace {

bool counting = false;
std::size_t allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace tevu::condition {
namespace {

// The word vector of a program invocation, null-terminated.
class Words {
 public:
  explicit Words(std::vector<std::string> words) : strings_(std::move(words)) {
    strings_.insert(strings_.begin(), "test");
    for (const std::string& word : strings_) pointers_.push_back(word.c_str());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(strings_.size()); }
  const char* const* args() const { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<const char*> pointers_;
};

// Evaluates and returns the result, counting allocations made by evaluate() alone.
bool evaluate_counting(const Words& words, std::size_t* made) {
  Evaluator evaluator(words.argc(), words.args());
  allocations = 0;
  counting = true;
  bool result = evaluator.evaluate();
  counting = false;
  *made = allocations;
  return result;
}

TEST(Evaluator, AllocatesNothingWhileEvaluating) {
  std::vector<std::string> chain{"1", "-eq", "1"};
  for (int i = 0; i < 30000; ++i) chain.insert(chain.end(), {"-a", "!", "-l", "ab", "-lt", "3"});
  std::vector<std::string> nested;
  for (int i = 0; i < 20000; ++i) nested.insert(nested.end(), {"(", "x", "-o"});
  nested.push_back("");
  nested.insert(nested.end(), 20000, ")");
  const struct {
    std::vector<std::string> words;
    bool result;
  } cases[] = {
      {{"x"}, true},
      {{"(", "a", "=", "b", ")"}, false},
      {chain, false},
      {nested, true},
      {{std::string(100000, '7'), "-gt", std::string(99999, '9')}, true},
  };
  for (const auto& c : cases) {
    std::size_t made = 0;
    EXPECT_EQ(evaluate_counting(Words(c.words), &made), c.result) << c.words.size() << " words";
    EXPECT_EQ(made, 0u) << c.words.size() << " words";
  }
}

// Set-up and evaluation together: the heap is used only for more "(" words than are reserved for.
TEST(Evaluator, ReservesWithoutAllocatingUpToTheReservedDepth) {
  using testing::nested_groups;
  std::vector<std::string> chain{"a"};
  for (int i = 0; i < 50000; ++i) chain.insert(chain.end(), {"-a", "a"});
  const std::size_t reserved = Evaluator::kReservedGroupDepth;
  const struct {
    std::vector<std::string> words;
    bool result;
    bool may_allocate;
  } cases[] = {
      {std::vector<std::string>(chain.begin(), chain.begin() + 41), true, false},
      {chain, true, false},
      {nested_groups(reserved, "x"), true, false},
      {nested_groups(reserved, ""), false, false},
      {nested_groups(reserved + 1, "x"), true, true},
      {nested_groups(3 * reserved, ""), false, true},
  };
  for (const auto& c : cases) {
    Words words(c.words);
    allocations = 0;
    counting = true;
    Evaluator evaluator(words.argc(), words.args());
    const bool result = evaluator.evaluate();
    counting = false;
    EXPECT_EQ(result, c.result) << c.words.size() << " words";
    if (!c.may_allocate) {
      EXPECT_EQ(allocations, 0u) << c.words.size() << " words";
    }
  }
}

TEST(Evaluator, SyntaxErrorsCarryTheirOperand) {
  testing::throw_syntax_errors();
  Words words({"x", "-a", "(", "y", "-o"});
  Evaluator evaluator(words.argc(), words.args());
  try {
    evaluator.evaluate();
    ADD_FAILURE() << "no error";
  } catch (const SyntaxError& error) {
    EXPECT_STREQ(error.format, "missing argument after %s");
    EXPECT_EQ(error.operand, words.args()[5]);
    EXPECT_TRUE(error.operand_quoted);
  }
}

}  // namespace
}  // namespace tevu::condition
