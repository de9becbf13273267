# The encoder module, built from one source folder once per NVENC API version:
# tevu_add_nvenc_module(target PACKAGE tevu/codecs/nvenc5 API 0x50 TRAITS api5_traits.cpp legacy_tables.cpp).
# API picks the structure layouts of nvenc_api.h; TRAITS are the units that define what differs between
# the API builds (api_traits.h and the vocabulary of tables.h), paths relative to the source folder.
get_filename_component(TEVU_NVENC_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../codecs/nvenc5/encoder" ABSOLUTE)

# The NVENC declarations (structures, enumerations, GUIDs, version words) for everything that speaks
# the API: the modules, the stand-in and their tests.
add_library(tevu_nvenc_api INTERFACE)
target_include_directories(tevu_nvenc_api INTERFACE ${TEVU_NVENC_SOURCE_DIR})

# The module's core, free of the interpreter (GUID codec, tables, arithmetic, staging, preset ranking,
# and the encode session itself: encoder_core.h), with the API's traits units.
function(tevu_add_nvenc_core target api_version)
  set(traits_sources)
  foreach(traits IN LISTS ARGN)
    get_filename_component(traits_source "${traits}" ABSOLUTE BASE_DIR "${TEVU_NVENC_SOURCE_DIR}")
    list(APPEND traits_sources ${traits_source})
  endforeach()
  add_library(${target} STATIC
    ${TEVU_NVENC_SOURCE_DIR}/guid.cpp
    ${TEVU_NVENC_SOURCE_DIR}/tables.cpp
    ${TEVU_NVENC_SOURCE_DIR}/staging.cpp
    ${TEVU_NVENC_SOURCE_DIR}/preset_choice.cpp
    ${TEVU_NVENC_SOURCE_DIR}/host_value.cpp
    ${TEVU_NVENC_SOURCE_DIR}/blocking.cpp
    ${TEVU_NVENC_SOURCE_DIR}/core_setup.cpp
    ${TEVU_NVENC_SOURCE_DIR}/core_session.cpp
    ${TEVU_NVENC_SOURCE_DIR}/core_switch.cpp
    ${TEVU_NVENC_SOURCE_DIR}/core_frames.cpp
    ${TEVU_NVENC_SOURCE_DIR}/core_teardown.cpp
    ${traits_sources})
  target_link_libraries(${target} PUBLIC tevu_nvenc_api tevu_cuda_layer tevu_common_headers)
  target_compile_definitions(${target} PUBLIC TEVU_NVENC_API_VERSION=${api_version})
  tevu_warnings(${target})
endfunction()

# The core, and the Python extension module for each configured interpreter.
function(tevu_add_nvenc_module target)
  cmake_parse_arguments(ARG "" "PACKAGE;API" "TRAITS" ${ARGN})
  if(NOT ARG_API OR NOT ARG_TRAITS)
    message(FATAL_ERROR "tevu_add_nvenc_module(${target}): API and TRAITS are required")
  endif()
  tevu_add_nvenc_core(${target}_core ${ARG_API} ${ARG_TRAITS})
  if(NOT TEVU_HAVE_PYTHON)
    return()
  endif()
  tevu_add_python_module(${target} PACKAGE ${ARG_PACKAGE} NAME encoder SOURCES
    ${TEVU_NVENC_SOURCE_DIR}/module.cpp
    ${TEVU_NVENC_SOURCE_DIR}/module_init.cpp
    ${TEVU_NVENC_SOURCE_DIR}/encoder.cpp
    ${TEVU_NVENC_SOURCE_DIR}/module_host.cpp
    LIBRARIES ${target}_core)
endfunction()
