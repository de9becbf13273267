// The leaves of an expression: unary file, string and descriptor tests, and binary comparisons.
#pragma once

#include "word_vector.h"

namespace tevu::condition {

// One of the twelve binary operator words.
bool is_binary_op_word(const char* word);

// A word of exactly two characters whose first is "-".
bool is_dash_word(const char* word);

// A dash word naming one of the unary tests.
bool is_unary_op_word(const char* word);

// words.current() is a unary operator word: evaluates it and moves past what it consumed.
bool apply_unary_op(WordVector& words);

// The operator word stands one word on (two when left_is_length, after "-l"): evaluates the
// comparison and moves past its right operand.
bool apply_binary_op(WordVector& words, bool left_is_length);

}  // namespace tevu::condition
