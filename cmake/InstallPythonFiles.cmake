# Installs files into an interpreter's package folder under CMAKE_INSTALL_PREFIX (honouring DESTDIR).
# Run at install time (the install rules of Install.cmake include it), or with cmake -P:
#   TEVU_PY_EXECUTABLE  the interpreter             TEVU_PY_VERSION  its X.Y
#   TEVU_PY_DIR         the package folder setting (TEVU_INSTALL_PYTHON_DIR); empty: ask the interpreter
#   TEVU_PY_PACKAGE     the package path below that folder (tevu/codecs/nvenc5)
#   TEVU_PY_FILES       files to install there, or TEVU_PY_DIRECTORY: a folder to copy there (*.py only)
#   TEVU_PY_STRIP       a strip program to run on each installed file (empty: none)
#
# Asked, the interpreter names the package folder of its module search path that lies in the prefix's
# lib folders (Debian's python3 with prefix /usr/local: lib/python3.11/dist-packages), and for a prefix
# it does not search, its own scheme's folder there (lib/pythonX.Y/site-packages).
cmake_policy(PUSH)
cmake_policy(VERSION 3.20)
if(TEVU_PY_DIR)
  string(REPLACE "{VERSION}" "${TEVU_PY_VERSION}" _dir "${TEVU_PY_DIR}")
  if(NOT IS_ABSOLUTE "${_dir}")
    set(_dir "${CMAKE_INSTALL_PREFIX}/${_dir}")
  endif()
else()
  set(_ask [=[
import os, sys, sysconfig
prefix = os.path.abspath(sys.argv[1])
real = os.path.realpath(prefix)
def in_lib(path):
    rel = os.path.relpath(os.path.realpath(path), real)
    return rel.split(os.sep)[0] in ("lib", "lib64") and os.path.basename(path) in ("site-packages", "dist-packages")
found = [p for p in sys.path if p and in_lib(p)]
scheme = sysconfig.get_path("platlib", "posix_prefix", {"base": prefix, "platbase": prefix})
sys.stdout.write(found[0] if found else scheme)
]=])
  execute_process(COMMAND "${TEVU_PY_EXECUTABLE}" -E -c "${_ask}" "${CMAKE_INSTALL_PREFIX}"
                  OUTPUT_VARIABLE _dir RESULT_VARIABLE _rc ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0 OR _dir STREQUAL "")
    message(FATAL_ERROR "${TEVU_PY_EXECUTABLE} could not name its package folder under ${CMAKE_INSTALL_PREFIX}: ${_err}"
                        " (set TEVU_INSTALL_PYTHON_DIR)")
  endif()
endif()
set(_destination "${_dir}/${TEVU_PY_PACKAGE}")
if(TEVU_PY_DIRECTORY)
  file(INSTALL "${TEVU_PY_DIRECTORY}" DESTINATION "${_destination}"
       FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
else()
  file(INSTALL ${TEVU_PY_FILES} DESTINATION "${_destination}")
  if(TEVU_PY_STRIP)
    foreach(_file IN LISTS TEVU_PY_FILES)
      get_filename_component(_name "${_file}" NAME)
      execute_process(COMMAND "${TEVU_PY_STRIP}" --strip-unneeded "$ENV{DESTDIR}${_destination}/${_name}"
                      RESULT_VARIABLE _rc)
      if(NOT _rc EQUAL 0)
        message(FATAL_ERROR "${TEVU_PY_STRIP} failed on ${_destination}/${_name}")
      endif()
    endforeach()
  endif()
endif()
cmake_policy(POP)
