// Integer operands: their syntax, their comparison at any length, and word lengths as decimal text.
#pragma once

#include <cstddef>

namespace tevu::condition {

// Room for the decimal length of any word (20 digits) and the terminator.
constexpr std::size_t kLengthTextSize = 21;

// Validates the integer syntax (blanks, one optional sign, digits, blanks) and returns the text to
// compare: from the "-" sign or the first digit. Fails with the syntax error "invalid integer %s" otherwise.
const char* checked_integer_text(const char* word);

// Negative, zero or positive as the integer written in a is less than, equal to or greater than b.
// Both are an optional "-" and digits; reading stops at the first non-digit.
int compare_decimal_text(const char* a, const char* b);

// Writes the byte length of word in decimal into buffer and returns buffer.
const char* length_as_decimal(const char* word, char (&buffer)[kLengthTextSize]);

}  // namespace tevu::condition
