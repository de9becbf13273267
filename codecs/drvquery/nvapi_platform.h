// What the loader needs from the operating system: the system directory, the dynamic loader, a
// re-entrant lock and sleeping. Windows uses its own calls; elsewhere the system directory comes from
// TEVU_NVAPI_SYSTEM_DIR and libraries are opened with the dynamic loader.
#pragma once

#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace tevu::nvapi::platform {

#ifdef _WIN32
using PathString = std::wstring;
#else
using PathString = std::string;
#endif

// The directory the driver's libraries live in; nothing when it is unknown.
std::optional<PathString> system_directory();
PathString::value_type path_separator();
PathString widen(const char* ascii);

using LibraryHandle = void*;
// Null when the file cannot be loaded.
LibraryHandle load_library(const PathString& path);
void* find_symbol(LibraryHandle library, const char* name);
void free_library(LibraryHandle library);

void sleep_milliseconds(unsigned milliseconds);

// A lock that the thread holding it may take again.
class RecursiveLock {
public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;
    void enter();
    void leave();

private:
#ifdef _WIN32
    CRITICAL_SECTION section_;
#else
    std::recursive_mutex mutex_;
#endif
};

}  // namespace tevu::nvapi::platform
