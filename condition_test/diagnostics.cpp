#include "diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "locale_setup.h"
#include "program_name.h"
#include "quoting.h"

namespace tevu::condition {
namespace {

int status_on_failure = 1;
const char* invocation_name_of_errors = "test";
SyntaxErrorHandler syntax_error_handler = nullptr;

// Writes the format with "%s" replaced by operand and "%%" by "%"; other text is written as it
// stands, so that a translated format can never read arguments that are not there.
void write_formatted(const char* format, const char* operand) {
  for (const char* text = format; *text; ++text) {
    if (text[0] == '%' && text[1] == 's') {
      std::fputs(operand ? operand : "", stderr);
      ++text;
    } else if (text[0] == '%' && text[1] == '%') {
      std::fputc('%', stderr);
      ++text;
    } else {
      std::fputc(*text, stderr);
    }
  }
}

}  // namespace

void set_failure_status(int status) { status_on_failure = status; }

int failure_status() { return status_on_failure; }

void fail_syntax(const char* invocation_name, const SyntaxError& error) {
  ensure_locale();
  // Quoted before anything is written, so that a failure to quote leaves no half line behind.
  const char* operand = error.operand && error.operand_quoted ? quote_for_message(error.operand)
                                                              : error.operand;
  std::fprintf(stderr, "%s: ", invocation_name);
  write_formatted(translated(error.format), operand);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::exit(2);
}

void fail_syntax_error(const SyntaxError& error) {
  if (syntax_error_handler) syntax_error_handler(error);
  fail_syntax(invocation_name_of_errors, error);
}

void set_invocation_name(const char* name) { invocation_name_of_errors = name; }

void set_syntax_error_handler(SyntaxErrorHandler handler) { syntax_error_handler = handler; }

void report_error(int errnum, const char* message) {
  ensure_locale();
  std::fprintf(stderr, "%s: %s", program_name(), message);
  if (errnum != 0) std::fprintf(stderr, ": %s", std::strerror(errnum));
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace tevu::condition
