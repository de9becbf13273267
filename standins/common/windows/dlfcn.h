// The dynamic loader's POSIX interface over LoadLibrary, for the stand-ins and the tests on Windows
// (the modules' own loader, codecs/common/cuda/dynamic_library.cpp, calls Windows directly).
#pragma once

#include <windows.h>

#include <stdio.h>

#define RTLD_LAZY 0x1
#define RTLD_NOW 0x2
#define RTLD_LOCAL 0
#define RTLD_GLOBAL 0
#define RTLD_NOLOAD 0x4
#define RTLD_NODELETE 0x1000

namespace tevu_dlfcn {
inline char* error_text() {
    static thread_local char text[64];
    return text;
}
inline void set_error(const char* what, DWORD code) {
    if (code)
        snprintf(error_text(), 64, "%s: error %lu", what, static_cast<unsigned long>(code));
    else
        error_text()[0] = '\0';
}
}  // namespace tevu_dlfcn

// RTLD_NOLOAD: a handle only to a library already loaded; RTLD_NODELETE: never unloaded again.
inline void* dlopen(const char* file, int mode) {
    HMODULE module = nullptr;
    if (mode & RTLD_NOLOAD)
        GetModuleHandleExA(0, file, &module);
    else
        module = LoadLibraryA(file);
    if (module && (mode & RTLD_NODELETE))
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, file, &module);
    tevu_dlfcn::set_error("cannot load library", module ? 0 : GetLastError());
    return reinterpret_cast<void*>(module);
}

inline void* dlsym(void* handle, const char* name) {
    void* address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
    tevu_dlfcn::set_error("no such symbol", address ? 0 : GetLastError());
    return address;
}

inline int dlclose(void* handle) { return FreeLibrary(static_cast<HMODULE>(handle)) ? 0 : -1; }

inline char* dlerror() {
    char* text = tevu_dlfcn::error_text();
    return text[0] ? text : nullptr;
}
