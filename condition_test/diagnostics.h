// The diagnostics of the program: syntax errors, and errors in the platform's reporting format.
#pragma once

namespace tevu::condition {

struct SyntaxError;

// The status of write and memory failures, set once at start-up.
void set_failure_status(int status);
int failure_status();

// Writes "NAME: " and the translated format with the operand (quoted when the error says so) on
// standard error, then exits with status 2.
[[noreturn]] void fail_syntax(const char* invocation_name, const SyntaxError& error);

// Writes "PROGRAM: MESSAGE" and, when errnum is not 0, ": " and the system's error text (in the
// program's locale).
void report_error(int errnum, const char* message);

}  // namespace tevu::condition
