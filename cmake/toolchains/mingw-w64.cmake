# What both MinGW-w64 toolchain files share; they set CMAKE_SYSTEM_PROCESSOR and TEVU_MINGW_TRIPLET first.
# The posix thread model gives std::thread and std::mutex; cmake/Windows.cmake links its runtime statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TEVU_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TEVU_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TEVU_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TEVU_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
