#include "quoting.h"

#include <libintl.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "charset.h"
#include "memory.h"

namespace tevu::condition {

const char* const kQuotingStyleNames[] = {"literal", "shell",  "shell-always", "c", "c-maybe",
                                          "escape",  "locale", "clocale",      nullptr};

namespace {

// Collects output up to the buffer's room while counting all of it.
class Output {
 public:
  Output(char* buffer, std::size_t size) : buffer_(buffer), size_(size) {}

  void put(char c) {
    if (length_ + 1 < size_) buffer_[length_] = c;
    ++length_;
  }
  void put(const char* text, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) put(text[i]);
  }
  void put(const char* text) { put(text, std::strlen(text)); }
  void put_octal(unsigned char byte) {
    put('\\');
    put(static_cast<char>('0' + ((byte >> 6) & 7)));
    put(static_cast<char>('0' + ((byte >> 3) & 7)));
    put(static_cast<char>('0' + (byte & 7)));
  }
  std::size_t finish() {
    if (size_ != 0) buffer_[length_ < size_ ? length_ : size_ - 1] = '\0';
    return length_;
  }

 private:
  char* buffer_;
  std::size_t size_;
  std::size_t length_ = 0;
};

// The letter of a control character written as a backslash escape, or 0.
char escape_letter(char c) {
  switch (c) {
    case '\a': return 'a';
    case '\b': return 'b';
    case '\f': return 'f';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    case '\v': return 'v';
    case '\\': return '\\';
  }
  return 0;
}

bool is_extra_escape(const QuotingOptions& options, unsigned char byte) {
  return (options.extra_escapes[byte / 32] >> (byte % 32)) & 1u;
}

bool same_ascii_letters(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) {
      return false;
    }
  }
  return *a == *b;
}

// Copies or escapes the character at text, of which available bytes remain, and returns its byte
// count.
std::size_t put_character(Output& out, const char* text, std::size_t available, std::mbstate_t& state) {
  if (MB_CUR_MAX == 1) {
    unsigned char byte = static_cast<unsigned char>(*text);
    if (std::isprint(byte)) {
      out.put(*text);
    } else {
      out.put_octal(byte);
    }
    return 1;
  }
  wchar_t character;
  std::size_t length = std::mbrtowc(&character, text, available, &state);
  if (length == static_cast<std::size_t>(-2)) {
    for (std::size_t i = 0; i < available; ++i) out.put_octal(static_cast<unsigned char>(text[i]));
    return available;
  }
  if (length == static_cast<std::size_t>(-1) || length == 0) {
    state = std::mbstate_t{};
    out.put_octal(static_cast<unsigned char>(*text));
    return 1;
  }
  if (std::iswprint(static_cast<std::wint_t>(character))) {
    out.put(text, length);
  } else {
    for (std::size_t i = 0; i < length; ++i) out.put_octal(static_cast<unsigned char>(text[i]));
  }
  return length;
}

// A slot: its buffer and size. Slot 0 starts with the fixed buffer, which is never freed.
struct Slot {
  char* data;
  std::size_t size;
};

// Slot 0 lives in the table itself, so that quoting into it needs no memory beyond the fixed
// buffer; the table of further slots is made only when one is used.
class SlotTable {
 public:
  SlotTable() = default;
  ~SlotTable() {
    release(first_);
    for (Slot& slot : further_) release(slot);
  }
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;

  Slot& at(int index) {
    if (index == 0) return first_;
    const std::size_t further_index = static_cast<std::size_t>(index) - 1;
    if (further_index >= further_.size()) further_.resize(further_index + 1, Slot{nullptr, 0});
    return further_[further_index];
  }

  void replace(Slot& slot, std::size_t size) {
    release(slot);
    slot.data = static_cast<char*>(checked_alloc(size));
    slot.size = size;
  }

 private:
  void release(Slot& slot) {
    if (slot.data != fixed_) std::free(slot.data);
  }

  char fixed_[256];
  Slot first_{fixed_, sizeof fixed_};
  std::vector<Slot> further_;
};

SlotTable& slot_table() {
  static SlotTable table;
  return table;
}

}  // namespace

QuotingOptions quoting_options(QuotingStyle style) {
  if (style != QuotingStyle::locale && style != QuotingStyle::clocale) std::abort();
  return QuotingOptions{style, 0, {}, nullptr, nullptr};
}

QuotingOptions custom_quoting_options(const char* opening, const char* closing) {
  if (!opening || !closing) std::abort();
  return QuotingOptions{QuotingStyle::custom, 0, {}, opening, closing};
}

void add_extra_escape(QuotingOptions& options, unsigned char byte) {
  options.extra_escapes[byte / 32] |= 1u << (byte % 32);
}

const char* pick_quote_mark(const char* mark, QuotingStyle style) {
  const char* translation = gettext(mark);
  if (std::strcmp(translation, mark) != 0) return translation;
  const char* charset = charset_name();
  bool opening = mark[0] == '`';
  if (same_ascii_letters(charset, "UTF-8")) return opening ? "\xE2\x80\x98" : "\xE2\x80\x99";
  if (same_ascii_letters(charset, "GB18030")) return opening ? "\xA1\xAE" : "\xA1\xAF";
  return style == QuotingStyle::clocale ? "\"" : "'";
}

std::size_t quote_into(char* buffer, std::size_t size, const QuotingOptions& options, const char* word) {
  const bool custom = options.style == QuotingStyle::custom;
  const char* opening = custom ? options.opening : pick_quote_mark("`", options.style);
  const char* closing = custom ? options.closing : pick_quote_mark("'", options.style);
  const std::size_t closing_length = std::strlen(closing);
  Output out(buffer, size);
  out.put(opening);
  std::mbstate_t state{};
  const char* const end = word + std::strlen(word);
  for (const char* text = word; text < end;) {
    if (closing_length != 0 && std::strncmp(text, closing, closing_length) == 0) out.put('\\');
    if (char letter = escape_letter(*text)) {
      out.put('\\');
      out.put(letter);
      ++text;
    } else if (is_extra_escape(options, static_cast<unsigned char>(*text))) {
      out.put('\\');
      out.put(*text++);
    } else {
      text += put_character(out, text, static_cast<std::size_t>(end - text), state);
    }
  }
  out.put(closing);
  return out.finish();
}

const char* quote_in_slot(int slot_index, const QuotingOptions& options, const char* word) {
  SlotTable& table = slot_table();
  Slot& slot = table.at(slot_index);
  std::size_t length = quote_into(slot.data, slot.size, options, word);
  if (length + 1 > slot.size) {
    table.replace(slot, length + 1);
    quote_into(slot.data, slot.size, options, word);
  }
  return slot.data;
}

const char* quote_for_message(const char* word) {
  int saved_errno = errno;
  QuotingOptions options = quoting_options(QuotingStyle::locale);
  options.flags |= kElideNulBytes;
  const char* quoted = quote_in_slot(0, options, word);
  errno = saved_errno;
  return quoted;
}

}  // namespace tevu::condition
