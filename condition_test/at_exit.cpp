#include "at_exit.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>

#include "diagnostics.h"
#include "locale_setup.h"

namespace tevu::condition {

bool close_stream_checked(std::FILE* stream) {
  const bool pending = __fpending(stream) != 0;
  const bool failed_before = std::ferror(stream) != 0;
  const bool close_failed = std::fclose(stream) != 0;
  if (failed_before) {
    if (!close_failed) errno = 0;
    return false;
  }
  return !close_failed || (!pending && errno == EBADF);
}

void flush_stdout_at_exit() {
  if (!close_stream_checked(stdout)) {
    const int error_number = errno;
    report_error(error_number, translated("write error"));
    _exit(failure_status());
  }
  if (!close_stream_checked(stderr)) _exit(failure_status());
}

}  // namespace tevu::condition
