#include "dynamic_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
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

LibraryNames posix_names(const char* name, const char* soname) { return {name, {name, soname}}; }

}  // namespace

LibraryNames cuda_driver_library(bool windows) {
    if (windows) return {"nvcuda.dll", {"nvcuda.dll"}};
    return posix_names("libcuda.so", "libcuda.so.1");
}

LibraryNames nvenc_library(bool windows, std::size_t pointer_size) {
    if (windows) {
        // A process loads only libraries of its own word size: the 64-bit driver's NVENC library has
        // its own name, the 32-bit one keeps the old name (in the 32-bit system folder).
        const char* name = pointer_size == 8 ? "nvEncodeAPI64.dll" : "nvencodeapi.dll";
        return {name, {name}};
    }
    return posix_names("libnvidia-encode.so", "libnvidia-encode.so.1");
}

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

std::shared_ptr<DynamicLibrary> DynamicLibrary::open_first(const LibraryNames& names) {
    std::string errors;
    for (const std::string& file : names.files) {
        try {
            return open(file);
        } catch (const LibraryError& e) {
            errors += (errors.empty() ? "" : "; ") + std::string(e.what());
        }
    }
    throw LibraryError(errors.empty() ? names.name + ": no file to open" : errors);
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

std::string DynamicLibrary::loaded_file(void* native_handle) {
    if (!native_handle) return "";
#if defined(_WIN32)
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(reinterpret_cast<HMODULE>(native_handle), path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
#else
    link_map* map = nullptr;
    if (dlinfo(native_handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return "";
    // With links resolved: the name a driver's file carries tells its version.
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(map->l_name, nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string(map->l_name);
#endif
}

}  // namespace tevu::cuda
