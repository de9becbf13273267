// A shared library opened by name with the platform's dynamic loader, and its symbols; and the names
// under which NVIDIA's driver libraries are looked for.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tevu::cuda {

// The loader could not open a library or find a symbol in it; what() is the loader's own text.
class LibraryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A library as the modules look for it. `name` is the name they open first and report; `files` are the
// names passed to the loader in order, `name` first, then what a driver installation has instead of it
// (on Linux the soname, since the unversioned name is a development link that plain installs lack).
struct LibraryNames {
    std::string name;
    std::vector<std::string> files;
};

// NVIDIA's CUDA driver library: "nvcuda.dll" on Windows; "libcuda.so", then "libcuda.so.1" elsewhere.
LibraryNames cuda_driver_library(bool windows);
// NVIDIA's NVENC library: on Windows "nvEncodeAPI64.dll" for a 64-bit process, "nvencodeapi.dll" for a
// 32-bit one (by the build's pointer size); "libnvidia-encode.so", then "libnvidia-encode.so.1" elsewhere.
LibraryNames nvenc_library(bool windows, std::size_t pointer_size = sizeof(void*));

// Whether this build is for Windows (the default platform of the names above).
inline constexpr bool native_windows =
#if defined(_WIN32)
    true;
#else
    false;
#endif

// Owns one loader handle, released when the last owner lets go; the library itself stays loaded until
// the process ends.
class DynamicLibrary {
public:
    // Opens `name` as it is (no path, no suffix added), so that the loader's normal search applies.
    static std::shared_ptr<DynamicLibrary> open(const std::string& name);
    // Opens the first of `names.files` that the loader accepts. When none does, LibraryError with every
    // loader text, in the order tried, joined by "; ".
    static std::shared_ptr<DynamicLibrary> open_first(const LibraryNames& names);

    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    ~DynamicLibrary();

    // The address of an exported symbol; LibraryError with the loader's text when it is missing.
    void* symbol(const char* symbol_name) const;

    // The name it was opened by.
    const std::string& name() const noexcept { return name_; }
    // The file the loader mapped for it (see loaded_file).
    std::string file() const { return loaded_file(handle_); }
    void* native_handle() const noexcept { return handle_; }

    // The path of the file behind a loader handle (dlopen's or LoadLibrary's, also one that another
    // loader such as ctypes holds), links resolved; empty when the loader does not tell.
    static std::string loaded_file(void* native_handle);

private:
    DynamicLibrary(std::string name, void* handle) noexcept : name_(std::move(name)), handle_(handle) {}

    std::string name_;
    void* handle_;
};

}  // namespace tevu::cuda
