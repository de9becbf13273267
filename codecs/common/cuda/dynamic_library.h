// A shared library opened by name with the platform's dynamic loader, and its symbols.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace tevu::cuda {

// The loader could not open a library or find a symbol in it; what() is the loader's own text.
class LibraryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Owns one loader handle, released when the last owner lets go; the library itself stays loaded until
// the process ends.
class DynamicLibrary {
public:
    // Opens `name` as it is (no path, no suffix added), so that the loader's normal search applies.
    static std::shared_ptr<DynamicLibrary> open(const std::string& name);

    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    ~DynamicLibrary();

    // The address of an exported symbol; LibraryError with the loader's text when it is missing.
    void* symbol(const char* symbol_name) const;

    const std::string& name() const noexcept { return name_; }
    void* native_handle() const noexcept { return handle_; }

private:
    DynamicLibrary(std::string name, void* handle) noexcept : name_(std::move(name)), handle_(handle) {}

    std::string name_;
    void* handle_;
};

}  // namespace tevu::cuda
