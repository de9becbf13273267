#include "memory.h"

#include <cstdlib>
#include <new>

#include "diagnostics.h"
#include "locale_setup.h"

namespace tevu::condition {

void fail_out_of_memory() {
  report_error(0, translated("memory exhausted"));
  std::exit(failure_status());
}

void* checked_alloc(std::size_t size) {
  void* memory = std::malloc(size);
  if (!memory && size != 0) fail_out_of_memory();
  return memory;
}

void install_out_of_memory_handler() { std::set_new_handler(fail_out_of_memory); }

}  // namespace tevu::condition
