// Quoting of operands for messages: the locale styles with their quotation marks, backslash escapes
// and octal escapes, produced into reusable slot buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tevu::condition {

enum class QuotingStyle { literal, shell, shell_always, c, c_maybe, escape, locale, clocale, custom };

// The style names, in the order of the styles, ending with a null entry (custom has no name).
extern const char* const kQuotingStyleNames[];

enum QuotingFlag : int {
  kElideNulBytes = 1,
  kOmitUnneededMarks = 2,
  kSplitTrigraphs = 4,
};

struct QuotingOptions {
  QuotingStyle style;
  int flags;
  std::uint32_t extra_escapes[8];  // a bit per byte value: also escaped with a backslash
  const char* opening;             // the marks of the custom style
  const char* closing;
};

// Options for one of the locale styles, the only ones this program quotes with. Asking for any
// other style, custom included, is a programming error and aborts.
QuotingOptions quoting_options(QuotingStyle style);

QuotingOptions custom_quoting_options(const char* opening, const char* closing);

void add_extra_escape(QuotingOptions& options, unsigned char byte);

// Produces the quoted word into buffer (at most size bytes, terminated when size is not 0) and
// returns the length of the whole quoted text, which may exceed what fitted.
std::size_t quote_into(char* buffer, std::size_t size, const QuotingOptions& options, const char* word);

// Quotes word into the result buffer of the given slot and returns it; the text stays valid until
// the slot is used again. Slot 0 starts as a fixed 256-byte buffer; a slot gets a larger buffer
// only when a result does not fit.
const char* quote_in_slot(int slot, const QuotingOptions& options, const char* word);

// The word quoted in the "locale" style for a message, in slot 0. errno is preserved.
const char* quote_for_message(const char* word);

// The opening (mark "`") or closing (mark "'") quotation mark of the locale styles.
const char* pick_quote_mark(const char* mark, QuotingStyle style);

}  // namespace tevu::condition
