#include "nvapi_platform.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace tevu::nvapi::platform {

std::optional<PathString> system_directory() {
    const char* dir = std::getenv("TEVU_NVAPI_SYSTEM_DIR");
    if (!dir || !*dir) return std::nullopt;
    return PathString(dir);
}

PathString::value_type path_separator() { return '/'; }

PathString widen(const char* ascii) { return PathString(ascii); }

LibraryHandle load_library(const PathString& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* find_symbol(LibraryHandle library, const char* name) { return dlsym(library, name); }

void free_library(LibraryHandle library) { dlclose(library); }

void sleep_milliseconds(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

RecursiveLock::RecursiveLock() = default;
RecursiveLock::~RecursiveLock() = default;
void RecursiveLock::enter() { mutex_.lock(); }
void RecursiveLock::leave() { mutex_.unlock(); }

}  // namespace tevu::nvapi::platform
