// The expression grammar: fixed-count rules for up to four words, the general grammar of "!", "-a",
// "-o" and parentheses, evaluated in one pass while it is parsed.
#pragma once

#include <cstddef>
#include <memory>

#include "word_vector.h"

namespace tevu::condition {

// Evaluates one word vector. All storage it needs is reserved at construction, so that evaluate()
// allocates nothing. Syntax errors end in fail_syntax_error.
class Evaluator {
 public:
  // Expressions with at most this many "(" words are evaluated without any heap memory.
  static constexpr std::size_t kReservedGroupDepth = 2048;

  Evaluator(int argc, const char* const* args);

  // The truth of the whole expression; false when there are no operands.
  bool evaluate();

 private:
  // The state of one general-grammar chain: the one being evaluated, or one waiting for a
  // parenthesised group to close.
  struct Chain {
    bool or_value;
    bool and_value;
    bool term_negated;    // the "!"s before the term now being evaluated
    bool result_negated;  // a "!" of a fixed-count rule that applies to the whole chain
  };

  // What a fixed-count rule produced: a value, or the request to run the general grammar.
  struct Outcome {
    bool value;
    bool enters_general;
    bool negate;
  };

  // The chains waiting for their groups to close. Every waiting chain stands for one "(" word
  // consumed, so the "(" words of the vector bound the depth: room for kReservedGroupDepth of them
  // lives in the evaluator itself, and only a vector with more gets one heap block, at construction.
  class WaitingChains {
   public:
    WaitingChains(int argc, const char* const* args);
    void push(const Chain& chain) { data_[size_++] = chain; }
    Chain pop() { return data_[--size_]; }
    bool empty() const { return size_ == 0; }

   private:
    Chain reserved_[kReservedGroupDepth];
    std::unique_ptr<Chain[]> heap_;
    Chain* data_;
    std::size_t size_ = 0;
  };

  Outcome fixed_count(int n);
  bool one_word();
  bool two_words();
  Outcome three_words();
  Outcome four_words();
  Outcome enter_general();
  static Outcome negated(Outcome outcome);

  bool general(bool negate_result);
  bool negations();
  bool primary_term();
  bool unary_term(const char* dash_word);
  int group_word_count() const;
  bool close_group(bool value);

  WordVector words_;
  WaitingChains waiting_;
};

}  // namespace tevu::condition
