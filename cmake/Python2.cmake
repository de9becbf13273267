# Python 2.7 for the extension modules: PYTHON2 from the environment, else python2.7 on the path, else
# pyenv's 2.7 installation. Without one (or without its headers) the modules and their tests are skipped.
set(TEVU_HAVE_PYTHON2 OFF)
set(_py2_candidates "")
if(DEFINED ENV{PYTHON2} AND NOT "$ENV{PYTHON2}" STREQUAL "")
  list(APPEND _py2_candidates "$ENV{PYTHON2}")
else()
  find_program(_py2_on_path NAMES python2.7 NO_CACHE)
  if(_py2_on_path)
    list(APPEND _py2_candidates "${_py2_on_path}")
  endif()
  set(_pyenv_root "$ENV{PYENV_ROOT}")
  if(_pyenv_root STREQUAL "")
    set(_pyenv_root "$ENV{HOME}/.pyenv")
  endif()
  file(GLOB _pyenv_py2 "${_pyenv_root}/versions/2.7*/bin/python2.7")
  list(APPEND _py2_candidates ${_pyenv_py2})
endif()

foreach(_candidate IN LISTS _py2_candidates)
  execute_process(
    COMMAND "${_candidate}" -c "import sys, sysconfig; sys.stdout.write('%d.%d;%s;%s' % (sys.version_info[0], sys.version_info[1], sysconfig.get_paths()['include'], sys.executable))"
    OUTPUT_VARIABLE _py2_info RESULT_VARIABLE _py2_rc ERROR_QUIET)
  if(NOT _py2_rc EQUAL 0)
    continue()
  endif()
  list(GET _py2_info 0 _py2_version)
  list(GET _py2_info 1 _py2_include)
  list(GET _py2_info 2 _py2_executable)
  if(_py2_version STREQUAL "2.7" AND EXISTS "${_py2_include}/Python.h")
    set(TEVU_HAVE_PYTHON2 ON)
    set(PYTHON2_EXECUTABLE "${_py2_executable}" CACHE FILEPATH "Python 2.7 interpreter" FORCE)
    set(PYTHON2_INCLUDE_DIR "${_py2_include}" CACHE PATH "Python 2.7 headers" FORCE)
    break()
  endif()
endforeach()

if(TEVU_HAVE_PYTHON2)
  message(STATUS "Python 2.7: ${PYTHON2_EXECUTABLE} (headers in ${PYTHON2_INCLUDE_DIR})")
else()
  message(WARNING
    "No Python 2.7 with its headers was found (set PYTHON2 to its interpreter). "
    "SKIPPED: the encoder modules, the driver query module, the host stand-in package and their tests. "
    "The test program and its tests are still built.")
endif()

# tevu_add_python_module(target PACKAGE tevu/codecs/x NAME modname SOURCES ...)
# Builds an extension module into build/python/<package>/<name>.so.
function(tevu_add_python_module target)
  cmake_parse_arguments(ARG "" "PACKAGE;NAME" "SOURCES" ${ARGN})
  add_library(${target} MODULE ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".so" OUTPUT_NAME "${ARG_NAME}"
    LIBRARY_OUTPUT_DIRECTORY "${TEVU_PYTHON_DIR}/${ARG_PACKAGE}"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} SYSTEM PRIVATE "${PYTHON2_INCLUDE_DIR}")
  target_link_libraries(${target} PRIVATE tevu_pyutil)
  tevu_warnings(${target})
  add_dependencies(${target} tevu_host_package)
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

# tevu_add_python_test(name script.py [ENV VAR=value ...] [TIMEOUT seconds])
# Runs a Python 2.7 unittest script against the build tree.
function(tevu_add_python_test name script)
  if(NOT TEVU_HAVE_PYTHON2)
    return()
  endif()
  cmake_parse_arguments(ARG "OPTIMIZE" "TIMEOUT" "ENV" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  get_filename_component(_script "${script}" ABSOLUTE)
  set(_flags)
  if(ARG_OPTIMIZE)
    set(_flags -O)  # assertions off, as a host run with python -O has them
  endif()
  add_test(NAME ${name} COMMAND "${PYTHON2_EXECUTABLE}" ${_flags} "${_script}")
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${TEVU_PYTHON_TEST_ENV};${ARG_ENV}" TIMEOUT ${ARG_TIMEOUT})
endfunction()
