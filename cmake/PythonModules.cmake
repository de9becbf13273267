# tevu_add_python_module(target PACKAGE tevu/codecs/x NAME modname SOURCES ... [LIBRARIES ...]
#                        [PYTHON_FILES file.py ...])
# Builds the extension module for every interpreter into build/python/<package>/<name><suffix>, as the
# targets <target>_<id> (made by the platform's _tevu_python_module, cmake/Python.cmake or
# cmake/WindowsPython.cmake); <target> builds them all. PYTHON_FILES (relative to the calling folder) go
# into the same folder, for every interpreter, in the build tree and when installed.
function(tevu_add_python_module target)
  cmake_parse_arguments(ARG "" "PACKAGE;NAME" "SOURCES;LIBRARIES;PYTHON_FILES" ${ARGN})
  add_custom_target(${target} ALL)
  if(NOT WIN32)
    # Earlier trees built Python 2.7's module as <name>.so, which every Python 3 would try to load.
    file(REMOVE "${TEVU_PYTHON_DIR}/${ARG_PACKAGE}/${ARG_NAME}.so")
  endif()
  foreach(_id IN LISTS TEVU_PYTHON_IDS)
    _tevu_python_module(${target}_${_id} ${_id} ${ARG_PACKAGE} ${ARG_NAME} "${ARG_SOURCES}" "${ARG_LIBRARIES}")
    add_dependencies(${target} ${target}_${_id})
  endforeach()
  if(ARG_PYTHON_FILES)
    tevu_add_python_files(${target} PACKAGE ${ARG_PACKAGE} FILES ${ARG_PYTHON_FILES})
  endif()
endfunction()

# tevu_add_python_files(target PACKAGE tevu/codecs/x FILES file.py ...)
# Python files of ours beside a module: copied into build/python/<package>/ as the build runs (target
# <target>_python_files, which <target> depends on) and installed with the modules for every interpreter.
# FILES are relative to the calling folder.
function(tevu_add_python_files target)
  cmake_parse_arguments(ARG "" "PACKAGE" "FILES" ${ARGN})
  set(_sources "")
  set(_copies "")
  foreach(_file IN LISTS ARG_FILES)
    get_filename_component(_source "${_file}" ABSOLUTE)
    get_filename_component(_name "${_file}" NAME)
    set(_copy "${TEVU_PYTHON_DIR}/${ARG_PACKAGE}/${_name}")
    add_custom_command(OUTPUT "${_copy}"
      COMMAND ${CMAKE_COMMAND} -E copy "${_source}" "${_copy}"
      DEPENDS "${_source}"
      COMMENT "${ARG_PACKAGE}/${_name}" VERBATIM)
    list(APPEND _sources "${_source}")
    list(APPEND _copies "${_copy}")
  endforeach()
  add_custom_target(${target}_python_files ALL DEPENDS ${_copies})
  add_dependencies(${target} ${target}_python_files)
  foreach(_id IN LISTS TEVU_PYTHON_IDS)
    tevu_install_python(${_id} PACKAGE ${ARG_PACKAGE} COMPONENT modules FILES ${_sources})
  endforeach()
endfunction()

# tevu_copy_python_tree(target SOURCE dir DESTINATION path COMMENT text)
# The *.py files below a source folder, copied into build/python/<path>/ with their sub-folders as the
# build runs, by the target <target> (built by default).
function(tevu_copy_python_tree target)
  cmake_parse_arguments(ARG "" "SOURCE;DESTINATION;COMMENT" "" ${ARGN})
  file(GLOB_RECURSE _sources CONFIGURE_DEPENDS RELATIVE ${ARG_SOURCE} ${ARG_SOURCE}/*.py)
  set(_copies "")
  foreach(_rel IN LISTS _sources)
    set(_copy ${TEVU_PYTHON_DIR}/${ARG_DESTINATION}/${_rel})
    add_custom_command(OUTPUT ${_copy}
      COMMAND ${CMAKE_COMMAND} -E copy ${ARG_SOURCE}/${_rel} ${_copy}
      DEPENDS ${ARG_SOURCE}/${_rel}
      COMMENT "${ARG_COMMENT}: ${_rel}" VERBATIM)
    list(APPEND _copies ${_copy})
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${_copies})
endfunction()
