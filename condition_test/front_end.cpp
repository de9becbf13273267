#include "front_end.h"

#include <cstdlib>

#include "at_exit.h"
#include "diagnostics.h"
#include "evaluation.h"
#include "locale_setup.h"
#include "memory.h"
#include "program_name.h"
#include "stack.h"

namespace tevu::condition {
namespace {

// The evaluation, in a frame of its own: the evaluator's reserved room is only touched once the
// stack for it has been reserved.
[[gnu::noinline]] int evaluate_words(int argc, char** argv) {
  Evaluator evaluator(argc, argv);
  return evaluator.evaluate() ? 0 : 1;
}

}  // namespace

int run_command(int argc, char** argv, const char* localedir) {
  record_program_name(argv[0]);
  set_invocation_name(argv[0]);
  configure_locale(kTextDomain, localedir);
  set_failure_status(2);
  install_out_of_memory_handler();
  std::atexit(flush_stdout_at_exit);
  reserve_run_stack();
  return evaluate_words(argc, argv);
}

}  // namespace tevu::condition
