#include "front_end.h"

#include <cstdlib>

#include "at_exit.h"
#include "diagnostics.h"
#include "evaluation.h"
#include "locale_setup.h"
#include "memory.h"
#include "program_name.h"

namespace tevu::condition {

int run_command(int argc, char** argv, const char* localedir) {
  record_program_name(argv[0]);
  set_invocation_name(argv[0]);
  configure_locale(kTextDomain, localedir);
  set_failure_status(2);
  install_out_of_memory_handler();
  std::atexit(flush_stdout_at_exit);
  Evaluator evaluator(argc, argv);
  return evaluator.evaluate() ? 0 : 1;
}

}  // namespace tevu::condition
