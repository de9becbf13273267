// The word vector of one evaluation and the syntax errors raised while walking it.
#pragma once

#include <cstring>

#include "diagnostics.h"

namespace tevu::condition {

// The words args[0] .. args[argc-1] (args[argc] is null) and the index of the next unread word.
struct WordVector {
  int argc;
  const char* const* args;
  int pos;

  const char* word(int index) const { return args[index]; }
  const char* current() const { return args[pos]; }
  bool at_end() const { return pos >= argc; }
  bool current_is(const char* text) const { return !at_end() && std::strcmp(args[pos], text) == 0; }
};

inline bool word_is(const char* word, const char* text) { return std::strcmp(word, text) == 0; }

// The "missing argument" error, which always names the last word of the vector.
[[noreturn]] inline void fail_missing_argument(const WordVector& words) {
  fail_syntax_error({"missing argument after %s", words.args[words.argc - 1], true});
}

[[noreturn]] inline void fail_with_word(const char* format, const char* word, bool quoted) {
  fail_syntax_error({format, word, quoted});
}

// Steps to the next word; with require_more, a word must be there.
inline void next_word(WordVector& words, bool require_more) {
  ++words.pos;
  if (require_more && words.pos >= words.argc) fail_missing_argument(words);
}

}  // namespace tevu::condition
