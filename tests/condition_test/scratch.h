// Temporary directories for the tests, and locales generated on demand.
#pragma once

#include <string>

namespace tevu::condition::testing {

// A fresh directory under TMPDIR (or /tmp), removed with everything in it at destruction.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& content);

// The LOCPATH directory holding the locale `name` built by localedef from the given locale source
// and character map, built once into cache_directory; empty when it cannot be built here.
std::string generated_locale(const std::string& cache_directory, const std::string& name,
                             const std::string& source, const std::string& charmap);

}  // namespace tevu::condition::testing
