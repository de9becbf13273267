# Cross-build for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686-posix):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TEVU_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
