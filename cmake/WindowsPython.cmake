# The extension modules for Windows (.pyd), built against CPython's own Windows headers:
#   TEVU_WINDOWS_PYTHON_SOURCES: CPython source trees (each with Include/ and PC/pyconfig.h; tools/windows-check
#   unpacks them from Debian's source packages), one build of the modules for each.
# A Python 3 module is <name>.cp3XY-win_amd64.pyd (32-bit: .cp3XY-win32.pyd), a 2.7 one <name>.pyd. Each
# links against an import library of the interpreter's DLL (python3XY.dll, python27.dll) that lists the
# Python symbols the module's objects use, made with dlltool when they are compiled.
# Sets what cmake/Python.cmake sets for the Linux build: TEVU_PYTHON_IDS, TEVU_PYTHON_<id>_VERSION,
# TEVU_HAVE_PYTHON, _tevu_python_module(); tevu_add_python_test() registers nothing (no Windows
# interpreter runs here).
set(TEVU_WINDOWS_PYTHON_SOURCES "" CACHE STRING "CPython source trees whose Windows headers the modules are built with")
find_program(TEVU_MINGW_NM NAMES ${TEVU_MINGW_TRIPLET}-nm REQUIRED)
find_program(TEVU_MINGW_DLLTOOL NAMES ${TEVU_MINGW_TRIPLET}-dlltool REQUIRED)

set(TEVU_PYTHON_IDS "")
foreach(_tree IN LISTS TEVU_WINDOWS_PYTHON_SOURCES)
  if(NOT EXISTS "${_tree}/PC/pyconfig.h" OR NOT EXISTS "${_tree}/Include/patchlevel.h")
    message(STATUS "SKIPPED: Python for Windows at ${_tree} (no Include/patchlevel.h and PC/pyconfig.h)")
    continue()
  endif()
  file(STRINGS "${_tree}/Include/patchlevel.h" _levels REGEX "^#define PY_(MAJOR|MINOR)_VERSION[ \t]")
  string(REGEX REPLACE ".*PY_MAJOR_VERSION[ \t]+([0-9]+).*" "\\1" _major "${_levels}")
  string(REGEX REPLACE ".*PY_MINOR_VERSION[ \t]+([0-9]+).*" "\\1" _minor "${_levels}")
  if(_major EQUAL 2)
    set(_id py27)
    set(_suffix ".pyd")
  else()
    set(_id py3)
    if(TEVU_WINDOWS_BITS EQUAL 64)
      set(_suffix ".cp${_major}${_minor}-win_amd64.pyd")
    else()
      set(_suffix ".cp${_major}${_minor}-win32.pyd")
    endif()
  endif()
  if(_id IN_LIST TEVU_PYTHON_IDS)
    message(STATUS "Python ${_major}.${_minor} for Windows at ${_tree}: left out, another ${_id} is built")
    continue()
  endif()
  list(APPEND TEVU_PYTHON_IDS ${_id})
  set(TEVU_PYTHON_${_id}_VERSION "${_major}.${_minor}")
  set(TEVU_PYTHON_${_id}_INCLUDE_DIRS "${_tree}/Include" "${_tree}/PC")
  set(TEVU_PYTHON_${_id}_MODULE_SUFFIX "${_suffix}")
  set(TEVU_PYTHON_${_id}_DLL "python${_major}${_minor}.dll")
  message(STATUS "Python ${_major}.${_minor} for Windows: headers of ${_tree} (modules *${_suffix})")
endforeach()
if(TEVU_PYTHON_IDS)
  set(TEVU_HAVE_PYTHON ON)
else()
  set(TEVU_HAVE_PYTHON OFF)
  message(STATUS "SKIPPED: the extension modules for Windows (no CPython sources in TEVU_WINDOWS_PYTHON_SOURCES)")
endif()

# One interpreter's build of a module (tevu_add_python_module, cmake/PythonModules.cmake): the objects,
# the import library their Python symbols need, and build/python/<package>/<name><suffix> linked from
# both, installed, stripped, with the modules.
function(_tevu_python_module module id package name sources libraries)
  add_library(${module}_objects OBJECT ${sources})
  target_include_directories(${module}_objects SYSTEM PRIVATE ${TEVU_PYTHON_${id}_INCLUDE_DIRS})
  if(TEVU_WINDOWS_BITS EQUAL 64)
    target_compile_definitions(${module}_objects PRIVATE MS_WIN64)  # PC/pyconfig.h sets it for MSVC only
  endif()
  target_link_libraries(${module}_objects PRIVATE tevu_pyutil ${libraries})
  tevu_warnings(${module}_objects)

  set(_import ${CMAKE_CURRENT_BINARY_DIR}/${module}_python.dll.a)
  add_custom_command(OUTPUT ${_import}
    COMMAND ${CMAKE_COMMAND} -DNM=${TEVU_MINGW_NM} -DDLLTOOL=${TEVU_MINGW_DLLTOOL}
            -DDLL=${TEVU_PYTHON_${id}_DLL} -DOUTPUT=${_import}
            "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:${module}_objects>,|>"
            -P ${PROJECT_SOURCE_DIR}/cmake/WindowsImportLibrary.cmake
    DEPENDS ${module}_objects $<TARGET_OBJECTS:${module}_objects> ${PROJECT_SOURCE_DIR}/cmake/WindowsImportLibrary.cmake
    COMMENT "import library of ${TEVU_PYTHON_${id}_DLL} for ${name}${TEVU_PYTHON_${id}_MODULE_SUFFIX}"
    VERBATIM)
  add_custom_target(${module}_import DEPENDS ${_import})

  add_library(${module} MODULE $<TARGET_OBJECTS:${module}_objects>)
  set_target_properties(${module} PROPERTIES PREFIX "" OUTPUT_NAME "${name}"
    SUFFIX "${TEVU_PYTHON_${id}_MODULE_SUFFIX}" LIBRARY_OUTPUT_DIRECTORY "${TEVU_PYTHON_DIR}/${package}")
  target_link_libraries(${module} PRIVATE ${libraries} ${_import})
  add_dependencies(${module} ${module}_import tevu_host_package)
  tevu_install_python(${id} PACKAGE ${package} COMPONENT modules STRIP FILES "$<TARGET_FILE:${module}>")
endfunction()

# The Python suites need a Windows interpreter; none runs here, so the Windows build registers none.
function(tevu_add_python_test)
endfunction()
