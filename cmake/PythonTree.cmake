# tevu_copy_to_python_tree(target PACKAGE tevu/codecs/x FILES file ...)
# Copies source files into build/python/<package>/ as the build runs; target (made here, built by ALL)
# stands for the copies.
function(tevu_copy_to_python_tree target)
  cmake_parse_arguments(ARG "" "PACKAGE" "FILES" ${ARGN})
  set(_copies "")
  foreach(_file IN LISTS ARG_FILES)
    get_filename_component(_source "${_file}" ABSOLUTE)
    get_filename_component(_name "${_file}" NAME)
    set(_copy "${TEVU_PYTHON_DIR}/${ARG_PACKAGE}/${_name}")
    add_custom_command(OUTPUT "${_copy}"
      COMMAND ${CMAKE_COMMAND} -E copy "${_source}" "${_copy}"
      DEPENDS "${_source}"
      COMMENT "${ARG_PACKAGE}/${_name}" VERBATIM)
    list(APPEND _copies "${_copy}")
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${_copies})
endfunction()
