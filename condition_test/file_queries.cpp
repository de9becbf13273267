#include "file_queries.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace tevu::condition {

bool is_later(const FileTime& left, const FileTime& right) {
  return left.seconds > right.seconds ||
         (left.seconds == right.seconds && left.nanoseconds > right.nanoseconds);
}

std::optional<struct stat> file_status(const char* path) {
  struct stat status;
  if (stat(path, &status) != 0) return std::nullopt;
  return status;
}

std::optional<struct stat> link_status(const char* path) {
  struct stat status;
  if (lstat(path, &status) != 0) return std::nullopt;
  std::size_t length = std::strlen(path);
  if (length == 0 || path[length - 1] != '/') return status;
  if (S_ISDIR(status.st_mode)) return status;
  if (S_ISLNK(status.st_mode)) return file_status(path);
  errno = ENOTDIR;
  return std::nullopt;
}

std::optional<FileTime> modification_time(const char* path) {
  std::optional<struct stat> status = file_status(path);
  if (!status) return std::nullopt;
  return FileTime{static_cast<long long>(status->st_mtim.tv_sec), status->st_mtim.tv_nsec};
}

bool is_terminal_descriptor(const char* fd_text) {
  errno = 0;
  long long fd = std::strtoll(fd_text, nullptr, 10);
  if (errno == ERANGE || fd < 0 || fd > INT_MAX) return false;
  return isatty(static_cast<int>(fd)) != 0;
}

}  // namespace tevu::condition
