#include "decimal.h"

#include <cctype>
#include <cstring>

#include "locale_setup.h"
#include "word_vector.h"

namespace tevu::condition {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
// Space and tab are blank in every locale, and no digit, letter or other printable ASCII character
// is; only for the remaining bytes does the answer need the locale.
bool is_blank(char c) {
  if (c == ' ' || c == '\t') return true;
  if (c == '\0' || (c > ' ' && c < 0x7f)) return false;
  ensure_locale();
  return std::isblank(static_cast<unsigned char>(c)) != 0;
}

const char* skip_blanks(const char* text) {
  while (is_blank(*text)) ++text;
  return text;
}

const char* skip_zeros(const char* digits) {
  while (*digits == '0') ++digits;
  return digits;
}

std::size_t digit_count(const char* digits) {
  std::size_t count = 0;
  while (is_digit(digits[count])) ++count;
  return count;
}

// Compares two magnitudes written as digits without leading zeros.
int compare_magnitudes(const char* a, const char* b) {
  while (is_digit(*a) && *a == *b) {
    ++a;
    ++b;
  }
  std::size_t rest_a = digit_count(a);
  std::size_t rest_b = digit_count(b);
  if (rest_a != rest_b) return rest_a < rest_b ? -1 : 1;
  if (rest_a == 0) return 0;
  return *a < *b ? -1 : 1;
}

}  // namespace

const char* checked_integer_text(const char* word) {
  const char* text = skip_blanks(word);
  const char* number = text;
  if (*text == '+') {
    number = ++text;
  } else if (*text == '-') {
    ++text;
  }
  const char* digits_end = text;
  while (is_digit(*digits_end)) ++digits_end;
  if (digits_end == text || *skip_blanks(digits_end) != '\0') {
    fail_with_word("invalid integer %s", word, true);
  }
  return number;
}

int compare_decimal_text(const char* a, const char* b) {
  bool a_negative = *a == '-';
  bool b_negative = *b == '-';
  const char* magnitude_a = skip_zeros(a + (a_negative ? 1 : 0));
  const char* magnitude_b = skip_zeros(b + (b_negative ? 1 : 0));
  if (a_negative != b_negative) {
    bool a_zero = !is_digit(*magnitude_a);
    bool b_zero = !is_digit(*magnitude_b);
    if (a_zero && b_zero) return 0;
    return a_negative ? -1 : 1;
  }
  int order = compare_magnitudes(magnitude_a, magnitude_b);
  return a_negative ? -order : order;
}

const char* length_as_decimal(const char* word, char (&buffer)[kLengthTextSize]) {
  unsigned long long length = std::strlen(word);
  char* end = buffer + kLengthTextSize - 1;
  char* digits = end;
  *digits = '\0';
  do {
    *--digits = static_cast<char>('0' + length % 10);
    length /= 10;
  } while (length != 0);
  std::memmove(buffer, digits, static_cast<std::size_t>(end - digits) + 1);
  return buffer;
}

}  // namespace tevu::condition
