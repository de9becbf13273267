# The Windows build (cmake/toolchains/*-w64-mingw32.cmake): what differs from the Linux one.
#   - The C and C++ runtimes (libgcc, libstdc++, winpthread) are linked into every program and DLL, so
#     that each file runs with nothing but Windows' own DLLs beside it.
#   - 32-bit DLLs export their __stdcall entry points undecorated (cuInit, not cuInit@4), as the driver's do.
#   - The POSIX names the stand-ins and the tests use (dlfcn.h, setenv) come from standins/common/windows.
#   - libx264, libx265 and libaom come from TEVU_WINDOWS_X264_PREFIX, TEVU_WINDOWS_X265_PREFIX and
#     TEVU_WINDOWS_AOM_PREFIX.
#   - GoogleTest is built from Debian's googletest sources (/usr/src/googletest, TEVU_GOOGLETEST_SOURCE).
#   - Test programs are not registered with CTest (CTest cannot run them here): each one is listed, one
#     per line, in <build>/windows-tests.txt, which tools/windows-check runs under wine.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8 AND NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "Windows build: unknown pointer size ${CMAKE_SIZEOF_VOID_P}")
endif()
math(EXPR TEVU_WINDOWS_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
message(STATUS "Windows build: ${TEVU_WINDOWS_BITS}-bit, ${CMAKE_CXX_COMPILER}")

add_link_options(-static)
if(TEVU_WINDOWS_BITS EQUAL 32)
  add_link_options("$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>:-Wl,--kill-at>")
endif()
# Windows' own headers: no min/max macros, and the Windows 7 API (GetModuleHandleExW among others).
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

set(TEVU_WINDOWS_COMPAT_DIR ${CMAKE_CURRENT_LIST_DIR}/../standins/common/windows)
include_directories(BEFORE SYSTEM ${TEVU_WINDOWS_COMPAT_DIR})
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${TEVU_WINDOWS_COMPAT_DIR}/posix_compat.h>")

# libx264, libx265 and libaom for Windows (the NVENC stand-in's encoders): prefixes holding
# lib/pkgconfig/<name>.pc, as tools/windows-check builds them; pkg-config looks there only. libx265 and
# libaom are optional: without one, the stand-in leaves its codec out.
set(TEVU_WINDOWS_X264_PREFIX "" CACHE PATH "libx264 built for this Windows target (prefix with lib/pkgconfig/x264.pc)")
set(TEVU_WINDOWS_X265_PREFIX "" CACHE PATH "libx265 built for this Windows target (prefix with lib/pkgconfig/x265.pc)")
set(TEVU_WINDOWS_AOM_PREFIX "" CACHE PATH "libaom built for this Windows target (prefix with lib/pkgconfig/aom.pc)")
set(_pkgconfig_dirs "")
foreach(_prefix ${TEVU_WINDOWS_X264_PREFIX} ${TEVU_WINDOWS_X265_PREFIX} ${TEVU_WINDOWS_AOM_PREFIX})
  list(APPEND _pkgconfig_dirs "${_prefix}/lib/pkgconfig")
  list(APPEND CMAKE_FIND_ROOT_PATH "${_prefix}")
endforeach()
if(_pkgconfig_dirs)
  string(REPLACE ";" ":" _pkgconfig_dirs "${_pkgconfig_dirs}")
  set(ENV{PKG_CONFIG_LIBDIR} "${_pkgconfig_dirs}")
  set(ENV{PKG_CONFIG_PATH} "")
endif()

set(TEVU_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources built for the Windows tests")
if(NOT EXISTS ${TEVU_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "Windows build: no GoogleTest sources at ${TEVU_GOOGLETEST_SOURCE} (Debian's googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${TEVU_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL) # defines GTest::gtest, GTest::gtest_main

set_property(GLOBAL PROPERTY TEVU_WINDOWS_TESTS "")
# Takes the place of GoogleTest's gtest_discover_tests(target TEST_PREFIX prefix [EXTRA_ARGS ...] ...):
# the program is listed as "<prefix> <program path> <extra arguments>" in windows-tests.txt (arguments
# without spaces); the other arguments concern CTest only.
function(gtest_discover_tests target)
  cmake_parse_arguments(ARG "" "TEST_PREFIX;DISCOVERY_TIMEOUT" "EXTRA_ARGS;PROPERTIES" ${ARGN})
  list(JOIN ARG_EXTRA_ARGS " " _arguments)
  set_property(GLOBAL APPEND PROPERTY TEVU_WINDOWS_TESTS "${ARG_TEST_PREFIX} $<TARGET_FILE:${target}> ${_arguments}")
endfunction()

# Written once every directory has listed its programs.
function(tevu_windows_write_test_list)
  get_property(_tests GLOBAL PROPERTY TEVU_WINDOWS_TESTS)
  list(JOIN _tests "\n" _text)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/windows-tests.txt CONTENT "${_text}\n")
endfunction()
