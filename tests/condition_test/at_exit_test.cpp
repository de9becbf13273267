// The exit-time stream checks, the program name and the memory-exhaustion exit.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "at_exit.h"
#include "diagnostics.h"
#include "memory.h"
#include "program_name.h"

namespace tevu::condition {
namespace {

std::FILE* open_full_device() {
  std::FILE* stream = std::fopen("/dev/full", "w");
  if (!stream) ADD_FAILURE() << "cannot open /dev/full";
  return stream;
}

TEST(CloseStreamChecked, PendingBytesThatCannotBeWrittenFail) {
  std::FILE* stream = open_full_device();
  ASSERT_NE(stream, nullptr);
  std::fputs("pending", stream);
  EXPECT_FALSE(close_stream_checked(stream));
  EXPECT_EQ(errno, ENOSPC);
}

TEST(CloseStreamChecked, AnEarlierWriteErrorFailsEvenThoughTheCloseSucceeds) {
  std::FILE* stream = open_full_device();
  ASSERT_NE(stream, nullptr);
  std::fputs("lost", stream);
  std::fflush(stream);
  ASSERT_TRUE(std::ferror(stream));
  errno = ENOSPC;
  EXPECT_FALSE(close_stream_checked(stream));
  EXPECT_EQ(errno, 0);
}

TEST(CloseStreamChecked, AnAlreadyClosedDescriptorWithNothingPendingPasses) {
  std::FILE* stream = std::fopen("/dev/null", "w");
  ASSERT_NE(stream, nullptr);
  close(fileno(stream));
  EXPECT_TRUE(close_stream_checked(stream));
}

TEST(CloseStreamChecked, AnAlreadyClosedDescriptorWithBytesPendingFails) {
  std::FILE* stream = std::fopen("/dev/null", "w");
  ASSERT_NE(stream, nullptr);
  std::fputs("pending", stream);
  close(fileno(stream));
  EXPECT_FALSE(close_stream_checked(stream));
}

TEST(CloseStreamChecked, AWrittenStreamPasses) {
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  std::fputs("written", stream);
  EXPECT_TRUE(close_stream_checked(stream));
}

// Points standard output at /dev/full and leaves bytes pending in it.
void write_to_full_standard_output() {
  int fd = open("/dev/full", O_WRONLY);
  if (fd < 0 || dup2(fd, 1) < 0) _exit(99);
  std::fputs("never written", stdout);
}

TEST(FlushStdoutAtExit, WriteErrorIsReportedWithTheSystemText) {
  EXPECT_EXIT(
      {
        record_program_name("/build/.libs/lt-probe");
        set_failure_status(2);
        write_to_full_standard_output();
        flush_stdout_at_exit();
        _exit(0);
      },
      ::testing::ExitedWithCode(2), "^probe: write error: No space left on device\n$");
}

TEST(FlushStdoutAtExit, UsesTheFailureStatus) {
  EXPECT_EXIT(
      {
        record_program_name("probe");
        set_failure_status(7);
        write_to_full_standard_output();
        flush_stdout_at_exit();
        _exit(0);
      },
      ::testing::ExitedWithCode(7), "^probe: write error: No space left on device\n$");
}

TEST(FlushStdoutAtExit, ClosedStandardOutputPasses) {
  EXPECT_EXIT(
      {
        set_failure_status(2);
        close(1);
        flush_stdout_at_exit();
        _exit(5);
      },
      ::testing::ExitedWithCode(5), "^$");
}

TEST(ProgramName, KeepsTheNameUnlessItIsALibraryToolBinary) {
  const struct {
    const char* invoked;
    const char* recorded;
    bool short_name_set;
  } cases[] = {
      {"test", "test", false},
      {"/usr/bin/test", "/usr/bin/test", false},
      {"dir/.libs/test", "test", false},
      {"dir/.libs/lt-test", "test", true},
      {"/.libs/lt-x", "x", true},
      {".libs/lt-test", ".libs/lt-test", false},
      {"dir/libs/lt-test", "dir/libs/lt-test", false},
      {"lt-test", "lt-test", false},
      {"a/.libs/b/lt-test", "a/.libs/b/lt-test", false},
  };
  for (const auto& c : cases) {
    program_invocation_short_name = const_cast<char*>("unchanged");
    record_program_name(c.invoked);
    EXPECT_STREQ(program_name(), c.recorded) << c.invoked;
    EXPECT_STREQ(program_invocation_name, c.recorded) << c.invoked;
    EXPECT_STREQ(program_invocation_short_name, c.short_name_set ? c.recorded : "unchanged") << c.invoked;
  }
}

TEST(ProgramName, NullNameAborts) {
  EXPECT_DEATH(record_program_name(nullptr), "A NULL argv\\[0\\] was passed through an exec system call\\.");
}

TEST(MemoryExhaustion, FailedAllocationExitsWithTheMessage) {
  EXPECT_EXIT(
      {
        record_program_name("probe");
        set_failure_status(2);
        volatile std::size_t huge = SIZE_MAX / 2;
        checked_alloc(huge);
        _exit(0);
      },
      ::testing::ExitedWithCode(2), "(^|\n)probe: memory exhausted\n$");
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TEVU_SANITIZER_NEW 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TEVU_SANITIZER_NEW 1
#endif

TEST(MemoryExhaustion, FailedNewExitsWithTheMessage) {
#if defined(TEVU_SANITIZER_NEW)
  GTEST_SKIP() << "the sanitizers' operator new reports exhaustion itself, without the new-handler";
#endif
  EXPECT_EXIT(
      {
        record_program_name("probe");
        set_failure_status(2);
        install_out_of_memory_handler();
        volatile std::size_t huge = SIZE_MAX / 4;
        // Kept in a volatile, so that the compiler cannot leave the allocation out (clang does otherwise).
        char* volatile memory = new char[huge];
        memory[0] = 1;
        _exit(0);
      },
      ::testing::ExitedWithCode(2), "^probe: memory exhausted\n$");
}

}  // namespace
}  // namespace tevu::condition
