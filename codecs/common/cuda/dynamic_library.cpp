#include "dynamic_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace tevu::cuda {

namespace {

#if defined(_WIN32)
// The system's text for the last failure, after the library's name: Windows' own text does not name it
// ("The specified module could not be found.").
std::string last_loader_error(const std::string& name) {
    char text[512] = {};
    DWORD code = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
    return name + ": " + (n ? std::string(text) : "error " + std::to_string(code));
}
#else
// dlerror's text names the library itself.
std::string last_loader_error(const std::string&) {
    const char* text = dlerror();
    return text ? std::string(text) : std::string("unknown loader error");
}
#endif

}  // namespace

std::shared_ptr<DynamicLibrary> DynamicLibrary::open(const std::string& name) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(name.c_str());
    // Pinned: the code stays mapped after FreeLibrary, since entry points handed out (and the driver's
    // own state) may be used until the process ends.
    HMODULE pinned = nullptr;
    if (module && !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                      reinterpret_cast<LPCWSTR>(module), &pinned)) {
        const std::string error = last_loader_error(name);
        FreeLibrary(module);
        throw LibraryError(error);
    }
    void* handle = reinterpret_cast<void*>(module);
#else
    // RTLD_NODELETE: the code stays mapped after the last close, since entry points handed out (and
    // the driver's own state) may be used until the process ends.
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
#endif
    if (!handle) throw LibraryError(last_loader_error(name));
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
    if (!address) throw LibraryError(last_loader_error(name_));
    return address;
}

}  // namespace tevu::cuda
