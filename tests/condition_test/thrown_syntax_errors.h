// For tests that evaluate in-process: syntax errors reach them as a thrown SyntaxError instead of
// ending the process.
#pragma once

#include "diagnostics.h"

namespace tevu::condition::testing {

inline void throw_syntax_errors() {
  set_syntax_error_handler([](const SyntaxError& error) { throw error; });
}

}  // namespace tevu::condition::testing
