#include "nvapi_platform.h"

namespace tevu::nvapi::platform {

std::optional<PathString> system_directory() {
    wchar_t buffer[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return std::nullopt;
    return PathString(buffer, length);
}

PathString::value_type path_separator() { return L'\\'; }

PathString widen(const char* ascii) {
    PathString wide;
    for (; *ascii; ++ascii) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*ascii)));
    return wide;
}

LibraryHandle load_library(const PathString& path) {
    return reinterpret_cast<LibraryHandle>(LoadLibraryExW(path.c_str(), nullptr, 0));
}

void* find_symbol(LibraryHandle library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void free_library(LibraryHandle library) { FreeLibrary(static_cast<HMODULE>(library)); }

void sleep_milliseconds(unsigned milliseconds) { Sleep(milliseconds); }

RecursiveLock::RecursiveLock() { InitializeCriticalSection(&section_); }
RecursiveLock::~RecursiveLock() { DeleteCriticalSection(&section_); }
void RecursiveLock::enter() { EnterCriticalSection(&section_); }
void RecursiveLock::leave() { LeaveCriticalSection(&section_); }

}  // namespace tevu::nvapi::platform
