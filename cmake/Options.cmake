# Compiler options shared by every target of the project.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_C_STANDARD 11)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/static)

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

set(FW_SANITIZE "" CACHE STRING "Sanitizers for the Linux build (address;undefined or thread)")
if(FW_SANITIZE AND NOT WIN32)
  list(JOIN FW_SANITIZE "," _fw_san)
  add_compile_options(-fsanitize=${_fw_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_fw_san})
endif()

option(FW_FUZZ "Build libFuzzer targets (needs clang)" OFF)
# Fuzz builds instrument every target for coverage; fuzzer binaries add the libFuzzer main.
if(FW_FUZZ AND NOT WIN32)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Warnings apply to the project's own sources (SnmpAgents/), not to third-party builds.
set(FW_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)
# RapidJSON's member iterators compare both ways round, which clang reports under C++20.
# clang also checks the lock annotations (thread_annotations.h).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND FW_WARNINGS -Wno-ambiguous-reversed-operator -Wthread-safety)
endif()

if(WIN32)
  # Genuine Win32 code: wide API, no min/max macros, Windows 10 headers.
  add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  # Static runtime: the DLL and the test executables need no mingw DLLs under Wine or Windows.
  add_link_options(-static)
else()
  add_compile_definitions(UNICODE _UNICODE)
  set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
  set(CMAKE_INSTALL_RPATH "$ORIGIN/../lib")
endif()

option(FW_BUILD_BENCHMARKS "Build the Google Benchmark programs (Linux only)" ON)
if(WIN32 OR FW_SANITIZE)
  set(FW_BUILD_BENCHMARKS OFF)
endif()
