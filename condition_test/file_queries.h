// File-system queries behind the file primaries. Every failure is an answer, never an error.
#pragma once

#include <sys/stat.h>

#include <optional>

namespace tevu::condition {

struct FileTime {
  long long seconds;
  long nanoseconds;
};

bool is_later(const FileTime& left, const FileTime& right);

std::optional<struct stat> file_status(const char* path);

// lstat, except that a path ending in "/" never yields a symbolic link: a link there is followed,
// and any type other than a directory is a failure.
std::optional<struct stat> link_status(const char* path);

std::optional<FileTime> modification_time(const char* path);

// Whether fd_text (an integer text already checked) names an open terminal.
bool is_terminal_descriptor(const char* fd_text);

}  // namespace tevu::condition
