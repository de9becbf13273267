# Install rules: `cmake --install BUILD --prefix P` installs the test program (libexec/tevu/test) and the
# extension modules of every interpreter; the stand-ins (host package, kernels and platform libraries)
# are the component "standins", installed only when asked for (--component standins).
set(TEVU_INSTALL_PYTHON_DIR "" CACHE STRING
    "Package folder (relative to the prefix, or absolute; {VERSION}: X.Y); empty: each interpreter's own")
set(TEVU_INSTALL_TEST_DIR "libexec/tevu" CACHE STRING
    "Folder (relative to the prefix, or absolute) of the test program; bin puts it on the users' PATH")
option(TEVU_INSTALL_STRIP "Strip the extension modules as they are installed" ON)
set(TEVU_INSTALL_STANDIN_LIBDIR "lib/tevu/standins" CACHE STRING
    "Folder (relative to the prefix, or absolute) of the stand-in platform libraries; never one the loader searches")

# tevu_install_python(id PACKAGE path COMPONENT name [EXCLUDE_FROM_ALL] [STRIP] FILES ... | DIRECTORY dir)
# Installs files (or the *.py files of a folder) into interpreter id's package folder under the install
# prefix, found when installing (cmake/InstallPythonFiles.cmake); STRIP strips them unless
# TEVU_INSTALL_STRIP is off. A Windows build's folder is Lib/site-packages under the prefix, where a
# Windows interpreter keeps its packages (none runs here to be asked), unless TEVU_INSTALL_PYTHON_DIR is set.
function(tevu_install_python id)
  cmake_parse_arguments(ARG "EXCLUDE_FROM_ALL;STRIP" "PACKAGE;COMPONENT;DIRECTORY" "FILES" ${ARGN})
  set(_dir "${TEVU_INSTALL_PYTHON_DIR}")
  if(WIN32 AND _dir STREQUAL "")
    set(_dir "Lib/site-packages")
  endif()
  set(_strip "")
  if(ARG_STRIP AND TEVU_INSTALL_STRIP)
    set(_strip "${CMAKE_STRIP}")
  endif()
  set(_exclude)
  if(ARG_EXCLUDE_FROM_ALL)
    set(_exclude EXCLUDE_FROM_ALL)
  endif()
  install(CODE "set(TEVU_PY_EXECUTABLE \"${TEVU_PYTHON_${id}_EXECUTABLE}\")
set(TEVU_PY_VERSION \"${TEVU_PYTHON_${id}_VERSION}\")
set(TEVU_PY_DIR \"${_dir}\")
set(TEVU_PY_PACKAGE \"${ARG_PACKAGE}\")
set(TEVU_PY_FILES \"${ARG_FILES}\")
set(TEVU_PY_DIRECTORY \"${ARG_DIRECTORY}\")
set(TEVU_PY_STRIP \"${_strip}\")
include(\"${CMAKE_CURRENT_FUNCTION_LIST_DIR}/InstallPythonFiles.cmake\")"
          COMPONENT ${ARG_COMPONENT} ${_exclude})
endfunction()

# The stand-ins' first install step: refuse a library folder of the system's loader, where a CPU
# libcuda.so would hide the real driver from every program.
install(CODE "set(TEVU_STANDIN_LIBDIR \"${TEVU_INSTALL_STANDIN_LIBDIR}\")
include(\"${CMAKE_CURRENT_LIST_DIR}/CheckStandinLibdir.cmake\")"
        COMPONENT standins EXCLUDE_FROM_ALL)

# A stand-in platform library (and its .so.1 name, when it has one) into TEVU_INSTALL_STANDIN_LIBDIR.
# A Windows DLL goes there alone, without its import library: in a program's folder or on PATH it would
# hide the driver's.
function(tevu_install_standin_library target)
  cmake_parse_arguments(ARG "" "LINK" "" ${ARGN})
  if(WIN32)
    install(FILES "$<TARGET_FILE:${target}>" DESTINATION "${TEVU_INSTALL_STANDIN_LIBDIR}"
            COMPONENT standins EXCLUDE_FROM_ALL)
  else()
    install(TARGETS ${target} LIBRARY DESTINATION "${TEVU_INSTALL_STANDIN_LIBDIR}"
            COMPONENT standins EXCLUDE_FROM_ALL)
  endif()
  if(ARG_LINK)
    install(FILES "${TEVU_PLATFORM_DIR}/${ARG_LINK}" DESTINATION "${TEVU_INSTALL_STANDIN_LIBDIR}"
            COMPONENT standins EXCLUDE_FROM_ALL)
  endif()
endfunction()
