// The few POSIX names the stand-ins and the tests use that Windows' C library spells otherwise; the
// Windows build includes this file ahead of every C++ source (cmake/Windows.cmake).
#pragma once

#include <fcntl.h>
#include <stdlib.h>

// Descriptors that child processes do not inherit.
#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif

// setenv and unsetenv over _putenv_s, which changes the environment that getenv of every module of the
// process reads (they all share the C runtime DLL). Windows' C runtime holds no empty values: setting
// one removes the variable, which every reader here takes the same way as an empty one.
inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name)) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
