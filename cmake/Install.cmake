# Install rules: `cmake --install BUILD --prefix P` installs bin/test and the extension modules of every
# interpreter; the stand-ins (host package, kernels and platform libraries) are the component
# "standins", installed only when asked for (--component standins).
set(TEVU_INSTALL_PYTHON_DIR "lib/python{VERSION}/site-packages" CACHE STRING
    "Folder (relative to the prefix, or absolute) the tevu package goes into; {VERSION} is each interpreter's X.Y")
set(TEVU_INSTALL_STANDIN_LIBDIR "lib/tevu/standins" CACHE STRING
    "Folder (relative to the prefix, or absolute) of the stand-in platform libraries; never one the loader searches")

# The package folder of an interpreter id.
function(tevu_python_install_dir id out)
  string(REPLACE "{VERSION}" "${TEVU_PYTHON_${id}_VERSION}" _dir "${TEVU_INSTALL_PYTHON_DIR}")
  set(${out} "${_dir}" PARENT_SCOPE)
endfunction()

# An extension module target of interpreter `id`, into <package folder>/<package>.
function(tevu_install_python_module target id package)
  tevu_python_install_dir(${id} _dir)
  install(TARGETS ${target} LIBRARY DESTINATION "${_dir}/${package}" COMPONENT modules)
endfunction()

# The stand-ins' first install step: refuse a library folder of the system's loader, where a CPU
# libcuda.so would hide the real driver from every program.
install(CODE "set(TEVU_STANDIN_LIBDIR \"${TEVU_INSTALL_STANDIN_LIBDIR}\")
include(\"${CMAKE_CURRENT_LIST_DIR}/CheckStandinLibdir.cmake\")"
        COMPONENT standins EXCLUDE_FROM_ALL)

# A stand-in platform library (and its .so.1 name, when it has one) into TEVU_INSTALL_STANDIN_LIBDIR.
function(tevu_install_standin_library target)
  cmake_parse_arguments(ARG "" "LINK" "" ${ARGN})
  install(TARGETS ${target} LIBRARY DESTINATION "${TEVU_INSTALL_STANDIN_LIBDIR}"
          COMPONENT standins EXCLUDE_FROM_ALL)
  if(ARG_LINK)
    install(FILES "${TEVU_PLATFORM_DIR}/${ARG_LINK}" DESTINATION "${TEVU_INSTALL_STANDIN_LIBDIR}"
            COMPONENT standins EXCLUDE_FROM_ALL)
  endif()
endfunction()
