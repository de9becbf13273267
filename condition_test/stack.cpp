#include "stack.h"

#include <alloca.h>
#include <signal.h>
#include <stdlib.h>

#include <cstddef>
#include <cstring>

#include "memory.h"

namespace tevu::condition {
namespace {

// The stack a run needs below reserve_run_stack's caller, whatever the words: evaluation never
// recurses, and the deepest path, a diagnostic with the locale set up and a message looked up in a
// catalogue and converted, takes about 20 KiB.
constexpr std::size_t kBaseSize = 64 * 1024;

// Variables the C library copies onto the stack whole: LANGUAGE while it looks up a message,
// GCONV_PATH while it sets up character conversion. Their room comes on top of kBaseSize.
constexpr const char* kCopiedVariables[] = {"LANGUAGE", "GCONV_PATH"};

// The longest value of those the report of a stack fault keeps: two copies this long still fit the
// report's stack beside the report itself.
constexpr std::size_t kLongestKeptForReport = 4096;

// Touches are this far apart: no page (4 KiB or more) is skipped.
constexpr std::size_t kTouchStride = 4096;

// Where a stack fault is reported: memory of the program image, there from the start, for the
// kernel's signal frame and the report.
alignas(16) unsigned char fault_report_stack[kBaseSize];

std::size_t needed_size() {
  std::size_t size = kBaseSize;
  for (const char* name : kCopiedVariables) {
    if (const char* value = getenv(name)) size += std::strlen(value) + 1;
  }
  return size;
}

// A fault while the stack is touched is the stack failing to grow. The code it interrupts is
// touch_stack, which holds no lock of the C library, so the report may use the environment, stdio
// and the message catalogues as anywhere else. Longer copied variables are dropped first, so the
// message then comes in the locale's own language, converted by the built-in modules.
void report_stack_fault(int) {
  for (const char* name : kCopiedVariables) {
    const char* value = getenv(name);
    if (value && std::strlen(value) > kLongestKeptForReport) unsetenv(name);
  }
  fail_out_of_memory();
}

// SIGSEGV reported as exhaustion, on fault_report_stack, for the lifetime of the object; then the
// previous handler and alternate stack again.
class StackFaultReport {
 public:
  StackFaultReport() {
    stack_t alternate{};
    alternate.ss_sp = fault_report_stack;
    alternate.ss_size = sizeof fault_report_stack;
    sigaltstack(&alternate, &previous_stack_);
    struct sigaction action {};
    action.sa_handler = report_stack_fault;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previous_action_);
  }
  ~StackFaultReport() {
    sigaction(SIGSEGV, &previous_action_, nullptr);
    sigaltstack(&previous_stack_, nullptr);
  }
  StackFaultReport(const StackFaultReport&) = delete;
  StackFaultReport& operator=(const StackFaultReport&) = delete;

 private:
  stack_t previous_stack_{};
  struct sigaction previous_action_ {};
};

// A frame of bytes below the caller's, written from the top down.
[[gnu::noinline]] void touch_stack(std::size_t bytes) {
  volatile unsigned char* area = static_cast<volatile unsigned char*>(alloca(bytes));
  for (std::size_t offset = bytes; offset > kTouchStride; offset -= kTouchStride) area[offset - 1] = 0;
  area[0] = 0;
}

}  // namespace

void reserve_run_stack() {
  const std::size_t size = needed_size();
  StackFaultReport report;
  touch_stack(size);
}

}  // namespace tevu::condition
