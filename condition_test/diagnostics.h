// The diagnostics of the program: syntax errors, and errors in the platform's reporting format.
#pragma once

namespace tevu::condition {

// A syntax error: an untranslated message format and its operand (null when the format has none).
struct SyntaxError {
  const char* format;
  const char* operand;
  bool operand_quoted;
};

// The status of write and memory failures, set once at start-up.
void set_failure_status(int status);
int failure_status();

// Writes "NAME: " and the translated format with the operand (quoted when the error says so) on
// standard error, then exits with status 2. It allocates nothing of its own: an operand that quotes
// within the fixed buffer of the quoting slot, the locale set-up and the catalogue lookups (which
// carry on untranslated when they cannot allocate) are all it needs.
[[noreturn]] void fail_syntax(const char* invocation_name, const SyntaxError& error);

// How the evaluator ends on a syntax error: by calling this, never by throwing, so that reporting
// one needs no memory for an exception object. It runs the installed handler, if any, and
// otherwise (or when the handler returns) reports through fail_syntax with the invocation name.
[[noreturn]] void fail_syntax_error(const SyntaxError& error);
void set_invocation_name(const char* name);
// For tests that evaluate in-process: a handler that throws the error lets them catch it.
using SyntaxErrorHandler = void (*)(const SyntaxError& error);
void set_syntax_error_handler(SyntaxErrorHandler handler);

// Writes "PROGRAM: MESSAGE" and, when errnum is not 0, ": " and the system's error text (in the
// program's locale).
void report_error(int errnum, const char* message);

}  // namespace tevu::condition
