# Run at install time (component "standins"): fails when TEVU_STANDIN_LIBDIR, under CMAKE_INSTALL_PREFIX,
# is a folder that the dynamic loader searches on its own.
cmake_policy(PUSH)
cmake_policy(VERSION 3.20)
if(IS_ABSOLUTE "${TEVU_STANDIN_LIBDIR}")
  set(_dir "${TEVU_STANDIN_LIBDIR}")
else()
  set(_dir "${CMAKE_INSTALL_PREFIX}/${TEVU_STANDIN_LIBDIR}")
endif()

# The loader's folders: the built-in ones and those of its configuration (ldconfig lists them).
set(_system /lib /lib64 /usr/lib /usr/lib64 /usr/local/lib /usr/local/lib64)
execute_process(COMMAND gcc -print-multiarch OUTPUT_VARIABLE _multiarch OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE _rc)
if(_rc EQUAL 0 AND _multiarch)
  list(APPEND _system /lib/${_multiarch} /usr/lib/${_multiarch} /usr/local/lib/${_multiarch})
endif()
find_program(_ldconfig ldconfig PATHS /sbin /usr/sbin)
if(_ldconfig)
  execute_process(COMMAND "${_ldconfig}" -v -N OUTPUT_VARIABLE _listing ERROR_QUIET)
  string(REPLACE "\n" ";" _lines "${_listing}")
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "^(/[^:]*):")
      list(APPEND _system "${CMAKE_MATCH_1}")
    endif()
  endforeach()
endif()

# Both as written and with symbolic links resolved (/lib is /usr/lib on merged systems).
function(_forms path out)
  cmake_path(NORMAL_PATH path OUTPUT_VARIABLE _normal)
  string(REGEX REPLACE "/$" "" _normal "${_normal}")
  get_filename_component(_real "${_normal}" REALPATH)
  set(${out} "${_normal};${_real}" PARENT_SCOPE)
endfunction()

_forms("${_dir}" _targets)
foreach(_sys IN LISTS _system)
  _forms("${_sys}" _sys_forms)
  foreach(_t IN LISTS _targets)
    if(_t IN_LIST _sys_forms)
      message(FATAL_ERROR
        "Refusing to install the stand-ins into ${_dir}: the dynamic loader searches ${_sys}, and the "
        "CPU stand-in libcuda.so there would hide the real NVIDIA driver. Set TEVU_INSTALL_STANDIN_LIBDIR "
        "to a folder of its own.")
    endif()
  endforeach()
endforeach()
cmake_policy(POP)
