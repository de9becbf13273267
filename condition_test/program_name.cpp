#include "program_name.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tevu::condition {
namespace {

const char* recorded_name = "";

constexpr char kLibsDirectory[] = "/.libs/";
constexpr std::size_t kLibsDirectoryLength = sizeof kLibsDirectory - 1;

}  // namespace

void record_program_name(const char* name) {
  if (!name) {
    std::fputs("A NULL argv[0] was passed through an exec system call.\n", stderr);
    std::abort();
  }
  const char* slash = std::strrchr(name, '/');
  const char* base = slash ? slash + 1 : name;
  if (static_cast<std::size_t>(base - name) >= kLibsDirectoryLength &&
      std::strncmp(base - kLibsDirectoryLength, kLibsDirectory, kLibsDirectoryLength) == 0) {
    name = base;
    if (std::strncmp(name, "lt-", 3) == 0) {
      name += 3;
      program_invocation_short_name = const_cast<char*>(name);
    }
  }
  recorded_name = name;
  program_invocation_name = const_cast<char*>(name);
}

const char* program_name() { return recorded_name; }

}  // namespace tevu::condition
