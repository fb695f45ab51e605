# Third-party code, all from Debian's packages.

# GoogleTest from Debian's source package, built for the target at hand.
set(FW_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${FW_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${FW_GTEST_SOURCE}: run scripts/deps")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${FW_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)

# Header-only fmt and RapidJSON through a directory that holds only them, so that the
# Windows build never sees the native include tree.
set(_fw_hdr ${CMAKE_BINARY_DIR}/_deps/headers)
file(MAKE_DIRECTORY ${_fw_hdr})
foreach(_lib fmt rapidjson)
  if(NOT EXISTS /usr/include/${_lib})
    message(FATAL_ERROR "/usr/include/${_lib} not found: run scripts/deps")
  endif()
  file(CREATE_LINK /usr/include/${_lib} ${_fw_hdr}/${_lib} SYMBOLIC)
endforeach()

add_library(fw_fmt INTERFACE)
target_include_directories(fw_fmt SYSTEM INTERFACE ${_fw_hdr})
target_compile_definitions(fw_fmt INTERFACE FMT_HEADER_ONLY)
add_library(fw::fmt ALIAS fw_fmt)

add_library(fw_rapidjson INTERFACE)
target_include_directories(fw_rapidjson SYSTEM INTERFACE ${_fw_hdr})
add_library(fw::rapidjson ALIAS fw_rapidjson)
# RapidJSON 1.1 adds an offset to its empty stack's null pointer before it first grows it;
# clang's undefined-behaviour check reports that in every parse (fixed after 1.1).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND "undefined" IN_LIST FW_SANITIZE)
  target_compile_options(fw_rapidjson INTERFACE -fno-sanitize=pointer-overflow)
endif()

if(FW_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()
