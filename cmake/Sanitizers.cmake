# Sanitizer builds. Executables get the runtime linked in; Python extension modules are loaded into an
# uninstrumented interpreter, so their tests preload the runtime (TEVU_SANITIZER_PRELOAD).
set(TEVU_SANITIZER_PRELOAD "")
set(TEVU_SANITIZER_ENV "")
if(TEVU_SANITIZE AND TEVU_TSAN)
  message(FATAL_ERROR "TEVU_SANITIZE and TEVU_TSAN cannot be combined")
endif()
if(TEVU_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE _asan OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                  OUTPUT_VARIABLE _ubsan OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so
                  OUTPUT_VARIABLE _stdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(TEVU_SANITIZER_PRELOAD "${_asan}:${_ubsan}:${_stdcxx}")
  # The interpreter itself is not leak-clean; leaks of our own code are checked by the C++ tests.
  set(TEVU_SANITIZER_ENV "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0" "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
elseif(TEVU_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
                  OUTPUT_VARIABLE _tsan OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(TEVU_SANITIZER_PRELOAD "${_tsan}")
  set(TEVU_SANITIZER_ENV "TSAN_OPTIONS=halt_on_error=1")
endif()
# Read by the tools (tools/encoder-demo, tools/encoder-bench) from CMakeCache.txt: the interpreter they run
# needs the runtime preloaded to load a sanitizer build's modules.
set(TEVU_SANITIZER_PRELOAD "${TEVU_SANITIZER_PRELOAD}" CACHE INTERNAL "sanitizer runtime the modules' interpreter preloads")
