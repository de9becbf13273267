#include "dynamic_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace tevu::cuda {

namespace {

#if defined(_WIN32)
std::string last_loader_error() {
    char text[512] = {};
    DWORD code = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
    return n ? std::string(text) : "error " + std::to_string(code);
}
#else
std::string last_loader_error() {
    const char* text = dlerror();
    return text ? std::string(text) : std::string("unknown loader error");
}
#endif

}  // namespace

std::shared_ptr<DynamicLibrary> DynamicLibrary::open(const std::string& name) {
#if defined(_WIN32)
    void* handle = reinterpret_cast<void*>(LoadLibraryA(name.c_str()));
#else
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (!handle) throw LibraryError(last_loader_error());
    return std::shared_ptr<DynamicLibrary>(new DynamicLibrary(name, handle));
}

DynamicLibrary::~DynamicLibrary() {
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

void* DynamicLibrary::symbol(const char* symbol_name) const {
#if defined(_WIN32)
    void* address = reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), symbol_name));
#else
    dlerror();
    void* address = dlsym(handle_, symbol_name);
#endif
    if (!address) throw LibraryError(last_loader_error());
    return address;
}

}  // namespace tevu::cuda
