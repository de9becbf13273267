// The expression grammar: fixed-count rules for up to four words, the general grammar of "!", "-a",
// "-o" and parentheses, evaluated in one pass while it is parsed.
#pragma once

#include <cstddef>
#include <memory>

#include "word_vector.h"

namespace tevu::condition {

// Evaluates one word vector. All storage it needs is reserved at construction, so that evaluate()
// allocates nothing. Syntax errors are thrown as SyntaxError.
class Evaluator {
 public:
  Evaluator(int argc, const char* const* args);

  // The truth of the whole expression; false when there are no operands.
  bool evaluate();

 private:
  // The state of one general-grammar chain that is waiting for a parenthesised group to close
  // (or, at the bottom, the outermost chain).
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

  // A stack of chains of fixed capacity; nesting is bounded by the number of words.
  class ChainStack {
   public:
    explicit ChainStack(std::size_t capacity);
    void push(const Chain& chain) { data_[size_++] = chain; }
    void pop() { --size_; }
    Chain& top() { return data_[size_ - 1]; }
    bool empty() const { return size_ == 0; }

   private:
    static constexpr std::size_t kInlineCapacity = 32;
    Chain inline_[kInlineCapacity];
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
  ChainStack chains_;
};

}  // namespace tevu::condition
