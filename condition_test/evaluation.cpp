#include "evaluation.h"

#include "primaries.h"

namespace tevu::condition {

namespace {

// The number of "(" words among the operands, counted only when there are more operands than
// reserved room (a vector can hold no more "(" words than operands).
std::size_t needed_group_depth(int argc, const char* const* args, std::size_t reserved) {
  if (argc <= 1 || static_cast<std::size_t>(argc - 1) <= reserved) return 0;
  std::size_t opening = 0;
  for (int i = 1; i < argc; ++i) opening += args[i][0] == '(' && args[i][1] == '\0';
  return opening;
}

}  // namespace

Evaluator::WaitingChains::WaitingChains(int argc, const char* const* args) : data_(reserved_) {
  const std::size_t depth = needed_group_depth(argc, args, kReservedGroupDepth);
  if (depth > kReservedGroupDepth) {
    heap_.reset(new Chain[depth]);
    data_ = heap_.get();
  }
}

Evaluator::Evaluator(int argc, const char* const* args) : words_{argc, args, 1}, waiting_(argc, args) {}

bool Evaluator::evaluate() {
  if (words_.argc < 2) return false;
  words_.pos = 1;
  Outcome outcome = fixed_count(words_.argc - 1);
  bool value = outcome.enters_general ? general(outcome.negate) : outcome.value;
  if (words_.pos != words_.argc) fail_with_word("extra argument %s", words_.current(), true);
  return value;
}

Evaluator::Outcome Evaluator::fixed_count(int n) {
  switch (n) {
    case 1: return {one_word(), false, false};
    case 2: return {two_words(), false, false};
    case 3: return three_words();
    case 4: return four_words();
    default: return enter_general();
  }
}

Evaluator::Outcome Evaluator::negated(Outcome outcome) {
  if (outcome.enters_general) {
    outcome.negate = !outcome.negate;
  } else {
    outcome.value = !outcome.value;
  }
  return outcome;
}

Evaluator::Outcome Evaluator::enter_general() {
  if (words_.at_end()) fail_missing_argument(words_);
  return {false, true, false};
}

bool Evaluator::one_word() {
  bool value = *words_.current() != '\0';
  ++words_.pos;
  return value;
}

bool Evaluator::two_words() {
  const char* first = words_.current();
  if (word_is(first, "!")) {
    next_word(words_, false);
    return !one_word();
  }
  if (is_dash_word(first)) return unary_term(first);
  fail_missing_argument(words_);
}

Evaluator::Outcome Evaluator::three_words() {
  const int pos = words_.pos;
  if (is_binary_op_word(words_.word(pos + 1))) return {apply_binary_op(words_, false), false, false};
  if (word_is(words_.word(pos), "!")) {
    next_word(words_, true);
    return {!two_words(), false, false};
  }
  if (word_is(words_.word(pos), "(") && word_is(words_.word(pos + 2), ")")) {
    next_word(words_, false);
    bool value = one_word();
    next_word(words_, false);
    return {value, false, false};
  }
  const char* middle = words_.word(pos + 1);
  if (word_is(middle, "-a") || word_is(middle, "-o")) return enter_general();
  fail_with_word("%s: binary operator expected", middle, false);
}

Evaluator::Outcome Evaluator::four_words() {
  const int pos = words_.pos;
  if (word_is(words_.word(pos), "!")) {
    next_word(words_, true);
    return negated(three_words());
  }
  if (word_is(words_.word(pos), "(") && word_is(words_.word(pos + 3), ")")) {
    next_word(words_, false);
    bool value = two_words();
    next_word(words_, false);
    return {value, false, false};
  }
  return enter_general();
}

// The general grammar without recursion: a parenthesised group that needs the general grammar
// again puts the current chain aside, and finishing a chain takes it back into the group's term.
bool Evaluator::general(bool negate_result) {
  Chain chain{false, true, false, negate_result};
  for (;;) {
    bool term_negated = negations();
    if (words_.at_end()) fail_missing_argument(words_);
    bool value;
    if (words_.current_is("(")) {
      next_word(words_, true);
      Outcome inner = fixed_count(group_word_count());
      if (inner.enters_general) {
        chain.term_negated = term_negated;
        waiting_.push(chain);
        chain = {false, true, false, inner.negate};
        continue;
      }
      value = close_group(inner.value) != term_negated;
    } else {
      value = primary_term() != term_negated;
    }
    // The term is complete: extend the chain, closing every group that ends here.
    for (;;) {
      chain.and_value = chain.and_value && value;
      if (words_.current_is("-a")) {
        next_word(words_, false);
        break;
      }
      chain.or_value = chain.or_value || chain.and_value;
      if (words_.current_is("-o")) {
        next_word(words_, false);
        chain.and_value = true;
        break;
      }
      bool chain_value = chain.or_value != chain.result_negated;
      if (waiting_.empty()) return chain_value;
      chain = waiting_.pop();
      value = close_group(chain_value) != chain.term_negated;
    }
  }
}

bool Evaluator::negations() {
  bool negated = false;
  while (words_.current_is("!")) {
    next_word(words_, true);
    negated = !negated;
  }
  return negated;
}

bool Evaluator::primary_term() {
  const int remaining = words_.argc - words_.pos;
  const char* first = words_.current();
  if (remaining >= 4 && word_is(first, "-l") && is_binary_op_word(words_.word(words_.pos + 2))) {
    return apply_binary_op(words_, true);
  }
  if (remaining >= 3 && is_binary_op_word(words_.word(words_.pos + 1))) {
    return apply_binary_op(words_, false);
  }
  if (is_dash_word(first)) return unary_term(first);
  return one_word();
}

bool Evaluator::unary_term(const char* dash_word) {
  if (!is_unary_op_word(dash_word)) fail_with_word("%s: unary operator expected", dash_word, false);
  return apply_unary_op(words_);
}

// The number of words inside a group: up to the first ")" among the next four words, else all
// remaining words.
int Evaluator::group_word_count() const {
  for (int offset = 1; offset <= 4 && words_.pos + offset < words_.argc; ++offset) {
    if (word_is(words_.word(words_.pos + offset), ")")) return offset;
  }
  return words_.argc - words_.pos;
}

bool Evaluator::close_group(bool value) {
  if (words_.at_end()) fail_with_word("')' expected", nullptr, false);
  if (!word_is(words_.current(), ")")) fail_with_word("')' expected, found %s", words_.current(), false);
  next_word(words_, false);
  return value;
}

}  // namespace tevu::condition
