#include "scratch.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "process.h"

namespace tevu::condition::testing {
namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }

void remove_tree(const std::string& path) { nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

bool exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/condition-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

ScratchDirectory::~ScratchDirectory() { remove_tree(path_); }

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string generated_locale(const std::string& cache_directory, const std::string& name,
                             const std::string& source, const std::string& charmap) {
  const std::string target = cache_directory + "/" + name;
  if (exists(target + "/LC_CTYPE")) return cache_directory;
  mkdir(cache_directory.c_str(), 0755);
  // Built beside the target and renamed into place, so that parallel tests never see half a locale.
  const std::string partial = target + ".partial." + std::to_string(getpid());
  run_tool({"localedef", "-i", source, "-f", charmap, partial});  // warnings give a non-zero status
  bool built = exists(partial + "/LC_CTYPE");
  if (built && rename(partial.c_str(), target.c_str()) != 0 && !exists(target + "/LC_CTYPE")) built = false;
  remove_tree(partial);
  return built || exists(target + "/LC_CTYPE") ? cache_directory : std::string();
}

}  // namespace tevu::condition::testing
