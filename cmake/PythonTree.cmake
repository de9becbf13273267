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
