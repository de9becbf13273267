# The interpreters the extension modules are built for, each build in the one build/python tree:
#   Python 2.7 (TEVU_PYTHON2, ON by default): Python2_EXECUTABLE when given, else PYTHON2 from the
#     environment, else python2.7 on the path, else pyenv's 2.7 installation; its files are
#     <name>module.so, a name Python 2.7 loads and no Python 3 does (each interpreter its own files).
#   Python 3 (TEVU_PYTHON3, ON by default): Python3_EXECUTABLE when given, else the python3 on the path;
#     3.8 or later. Its files carry the interpreter's tag (<name>.cpython-311-x86_64-linux-gnu.so).
#   TEVU_PYTHON3_EXTRA: further Python 3 versions (3.12: python3.12 on the path, else pyenv's) or
#     interpreter paths, each built the same way.
# An interpreter that is missing, or lacks its headers, is skipped with a message.
#
# Every interpreter has an id (py27, py3, py312...) and these variables:
#   TEVU_PYTHON_<id>_EXECUTABLE, _VERSION (X.Y), _INCLUDE_DIR, _MODULE_SUFFIX (module.so or the tagged one),
#   _TEST_SUFFIX (appended to the names of the tests run with it: "" for 2.7, .py3, .py312...).
# TEVU_PYTHON_IDS lists them; TEVU_PYTHON_MAIN is the one the tools run (Python 3 when built, else 2.7).
option(TEVU_PYTHON2 "Build the extension modules for Python 2.7 (when one is found)" ON)
option(TEVU_PYTHON3 "Build the extension modules for Python 3 (when one is found)" ON)
set(TEVU_PYTHON3_EXTRA "" CACHE STRING "Further Python 3 versions (such as 3.12) or interpreters to build for")

set(TEVU_PYTHON_IDS "")
set(TEVU_PYTHON_SKIPPED "")

# The facts of an interpreter, asked of the interpreter itself: "X.Y;include dir;module suffix;executable".
function(_tevu_python_facts exe out)
  set(${out} "" PARENT_SCOPE)
  execute_process(
    COMMAND "${exe}" -c "import sys, sysconfig; v = sysconfig.get_config_var; sys.stdout.write('%d.%d;%s;%s;%s' % (sys.version_info[0], sys.version_info[1], sysconfig.get_paths()['include'], v('EXT_SUFFIX') or v('SO') or '.so', sys.executable))"
    OUTPUT_VARIABLE _facts RESULT_VARIABLE _rc ERROR_QUIET)
  if(_rc EQUAL 0)
    set(${out} "${_facts}" PARENT_SCOPE)
  endif()
endfunction()

# Records an interpreter under an id; a second one with the same module suffix is left out, since its
# files would replace the first one's.
function(_tevu_python_add id exe version include suffix test_suffix)
  foreach(_other IN LISTS TEVU_PYTHON_IDS)
    if(TEVU_PYTHON_${_other}_MODULE_SUFFIX STREQUAL suffix)
      message(STATUS "Python ${version} (${exe}): left out, its modules are those of ${TEVU_PYTHON_${_other}_EXECUTABLE}")
      return()
    endif()
  endforeach()
  set(TEVU_PYTHON_${id}_EXECUTABLE "${exe}" CACHE INTERNAL "")
  set(TEVU_PYTHON_${id}_VERSION "${version}" CACHE INTERNAL "")
  set(TEVU_PYTHON_${id}_INCLUDE_DIR "${include}" CACHE INTERNAL "")
  set(TEVU_PYTHON_${id}_MODULE_SUFFIX "${suffix}" CACHE INTERNAL "")
  set(TEVU_PYTHON_${id}_TEST_SUFFIX "${test_suffix}" CACHE INTERNAL "")
  set(TEVU_PYTHON_IDS ${TEVU_PYTHON_IDS} ${id} PARENT_SCOPE)
  if(test_suffix STREQUAL "")
    set(_tests "tests under their plain names")
  else()
    set(_tests "tests named *${test_suffix}")
  endif()
  message(STATUS "Python ${version}: ${exe} (modules *${suffix}, ${_tests})")
endfunction()

# The real interpreter behind a name on the path (a pyenv shim runs whichever version is selected where it
# runs, or fails): its sys.executable when it runs and has the wanted major version.
function(_tevu_python_resolve candidates major out)
  set(${out} "" PARENT_SCOPE)
  foreach(_candidate IN LISTS candidates)
    _tevu_python_facts("${_candidate}" _facts)
    if(_facts STREQUAL "")
      continue()
    endif()
    list(GET _facts 0 _version)
    list(GET _facts 3 _exe)
    if(_version MATCHES "^${major}\\.")
      set(${out} "${_exe}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

set(_pyenv_root "$ENV{PYENV_ROOT}")
if(_pyenv_root STREQUAL "")
  set(_pyenv_root "$ENV{HOME}/.pyenv")
endif()

# --- Python 2.7 ---------------------------------------------------------------------------------------
if(TEVU_PYTHON2)
  if(NOT Python2_EXECUTABLE)
    set(_candidates "")
    if(NOT "$ENV{PYTHON2}" STREQUAL "")
      list(APPEND _candidates "$ENV{PYTHON2}")
    else()
      find_program(_py2_on_path NAMES python2.7 NO_CACHE)
      if(_py2_on_path)
        list(APPEND _candidates "${_py2_on_path}")
      endif()
      file(GLOB _pyenv_py2 "${_pyenv_root}/versions/2.7*/bin/python2.7")
      list(APPEND _candidates ${_pyenv_py2})
    endif()
    _tevu_python_resolve("${_candidates}" 2 _py2)
    if(_py2)
      set(Python2_EXECUTABLE "${_py2}" CACHE FILEPATH "Python 2.7 interpreter")
    endif()
  endif()
  if(Python2_EXECUTABLE)
    find_package(Python2 2.7 EXACT COMPONENTS Interpreter Development.Module)
  endif()
  if(Python2_Development.Module_FOUND)
    _tevu_python_add(py27 "${Python2_EXECUTABLE}" "${Python2_VERSION_MAJOR}.${Python2_VERSION_MINOR}"
                     "${Python2_INCLUDE_DIRS}" "module.so" "")
  else()
    list(APPEND TEVU_PYTHON_SKIPPED "Python 2.7 (no interpreter with its headers found, set Python2_EXECUTABLE or PYTHON2)")
  endif()
else()
  list(APPEND TEVU_PYTHON_SKIPPED "Python 2.7 (TEVU_PYTHON2 is OFF)")
endif()

# --- Python 3 -----------------------------------------------------------------------------------------
if(TEVU_PYTHON3)
  if(NOT Python3_EXECUTABLE)
    find_program(_py3_on_path NAMES python3 NO_CACHE)
    if(_py3_on_path)
      _tevu_python_resolve("${_py3_on_path}" 3 _py3)
      if(_py3)
        set(Python3_EXECUTABLE "${_py3}" CACHE FILEPATH "Python 3 interpreter")
      endif()
    endif()
  endif()
  if(Python3_EXECUTABLE)
    find_package(Python3 3.8 COMPONENTS Interpreter Development.Module)
  endif()
  if(Python3_Development.Module_FOUND)
    _tevu_python_add(py3 "${Python3_EXECUTABLE}" "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}"
                     "${Python3_INCLUDE_DIRS}" ".${Python3_SOABI}${CMAKE_SHARED_MODULE_SUFFIX}" ".py3")
  else()
    list(APPEND TEVU_PYTHON_SKIPPED
         "Python 3 (no python3 of version 3.8 or later with its headers found: install python3-dev, or set Python3_EXECUTABLE)")
  endif()
else()
  list(APPEND TEVU_PYTHON_SKIPPED "Python 3 (TEVU_PYTHON3 is OFF)")
endif()

foreach(_extra IN LISTS TEVU_PYTHON3_EXTRA)
  if(_extra MATCHES "^3\\.[0-9]+$")
    find_program(_extra_on_path NAMES python${_extra} NO_CACHE)
    file(GLOB _extra_pyenv "${_pyenv_root}/versions/${_extra}*/bin/python${_extra}")
    set(_candidates ${_extra_on_path} ${_extra_pyenv})
    unset(_extra_on_path)
  else()
    set(_candidates "${_extra}")
  endif()
  _tevu_python_resolve("${_candidates}" 3 _exe)
  set(_facts "")
  if(_exe)
    _tevu_python_facts("${_exe}" _facts)
  endif()
  if(_facts STREQUAL "")
    list(APPEND TEVU_PYTHON_SKIPPED "Python ${_extra} (no such Python 3 interpreter)")
    continue()
  endif()
  list(GET _facts 0 _version)
  list(GET _facts 1 _include)
  list(GET _facts 2 _suffix)
  string(REPLACE "." "" _id "py${_version}")
  if(_version VERSION_LESS 3.8 OR NOT EXISTS "${_include}/Python.h")
    list(APPEND TEVU_PYTHON_SKIPPED "Python ${_version} at ${_exe} (older than 3.8, or without its headers)")
    continue()
  endif()
  _tevu_python_add(${_id} "${_exe}" "${_version}" "${_include}" "${_suffix}" ".${_id}")
endforeach()

foreach(_skipped IN LISTS TEVU_PYTHON_SKIPPED)
  message(STATUS "SKIPPED: ${_skipped}")
endforeach()

set(TEVU_PYTHON_MAIN "")
if("py3" IN_LIST TEVU_PYTHON_IDS)
  set(TEVU_PYTHON_MAIN py3)
elseif(TEVU_PYTHON_IDS)
  list(GET TEVU_PYTHON_IDS 0 TEVU_PYTHON_MAIN)
endif()
if(TEVU_PYTHON_MAIN)
  # Read by the tools (tools/demo, tools/encoder-demo, tools/encoder-bench) from CMakeCache.txt.
  set(TEVU_PYTHON_EXECUTABLE "${TEVU_PYTHON_${TEVU_PYTHON_MAIN}_EXECUTABLE}" CACHE INTERNAL
      "the interpreter the tools run")
  set(TEVU_HAVE_PYTHON ON)
  message(STATUS "Tools run Python ${TEVU_PYTHON_${TEVU_PYTHON_MAIN}_VERSION}: ${TEVU_PYTHON_EXECUTABLE}")
else()
  unset(TEVU_PYTHON_EXECUTABLE CACHE)
  set(TEVU_HAVE_PYTHON OFF)
  string(CONCAT _without "SKIPPED: the encoder and driver query modules and every Python test suite. "
         "The test program, the stand-ins, gpu-check and the C++ tests are still built.")
  if(TEVU_PYTHON2 OR TEVU_PYTHON3 OR TEVU_PYTHON3_EXTRA)
    message(WARNING "No Python 2.7 or Python 3 with its headers was found. ${_without}")
  else()
    message(STATUS "No Python interpreter asked for. ${_without}")
  endif()
endif()

# One interpreter's build of a module (tevu_add_python_module, cmake/PythonModules.cmake): the target
# `module`, built into build/python/<package>/<name><suffix> and installed, stripped, with the modules.
function(_tevu_python_module module id package name sources libraries)
  add_library(${module} MODULE ${sources})
  set_target_properties(${module} PROPERTIES
    PREFIX "" SUFFIX "${TEVU_PYTHON_${id}_MODULE_SUFFIX}" OUTPUT_NAME "${name}"
    LIBRARY_OUTPUT_DIRECTORY "${TEVU_PYTHON_DIR}/${package}"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${module} SYSTEM PRIVATE "${TEVU_PYTHON_${id}_INCLUDE_DIR}")
  target_link_libraries(${module} PRIVATE tevu_pyutil ${libraries})
  tevu_warnings(${module})
  add_dependencies(${module} tevu_host_package)
  tevu_install_python(${id} PACKAGE ${package} COMPONENT modules STRIP FILES "$<TARGET_FILE:${module}>")
endfunction()

# The environment under which Python tests, tools and demonstrations run against the build tree.
set(TEVU_PYTHON_TEST_ENV
  "PYTHONPATH=${TEVU_PYTHON_DIR}"
  "PYTHONDONTWRITEBYTECODE=1"
  "LD_LIBRARY_PATH=${TEVU_PLATFORM_DIR}"
  "TEVU_NVAPI_SYSTEM_DIR=${TEVU_PLATFORM_DIR}"
  "TEVU_TEST_BUILD_DIR=${CMAKE_BINARY_DIR}"
  ${TEVU_SANITIZER_ENV})
if(TEVU_SANITIZER_PRELOAD)
  list(APPEND TEVU_PYTHON_TEST_ENV "LD_PRELOAD=${TEVU_SANITIZER_PRELOAD}")
endif()

# tevu_add_python_test(name script.py [OPTIMIZE] [ENV VAR=value ...] [TIMEOUT seconds] [ARGS test names...]
#                      [LABELS label...])
# Runs a unittest script against the build tree once with every interpreter, as <name><test suffix>.
function(tevu_add_python_test name script)
  cmake_parse_arguments(ARG "OPTIMIZE" "TIMEOUT" "ENV;ARGS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  get_filename_component(_script "${script}" ABSOLUTE)
  set(_flags)
  if(ARG_OPTIMIZE)
    set(_flags -O)  # assertions off, as a host run with python -O has them
  endif()
  foreach(_id IN LISTS TEVU_PYTHON_IDS)
    set(_name "${name}${TEVU_PYTHON_${_id}_TEST_SUFFIX}")
    add_test(NAME ${_name} COMMAND "${TEVU_PYTHON_${_id}_EXECUTABLE}" ${_flags} "${_script}" ${ARG_ARGS})
    set(_labels python ${_id} ${ARG_LABELS})
    if(ARG_OPTIMIZE)
      list(APPEND _labels optimized)
    endif()
    set_tests_properties(${_name} PROPERTIES
      ENVIRONMENT "${TEVU_PYTHON_TEST_ENV};${ARG_ENV}" TIMEOUT ${ARG_TIMEOUT} LABELS "${_labels}")
  endforeach()
endfunction()
