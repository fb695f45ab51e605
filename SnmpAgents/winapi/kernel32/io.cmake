# kernel32 io area: files, mappings, console, debugger output, modules, environment,
# profile files, message formatting, code pages, local memory.
if(NOT WIN32)
  target_sources(winapi PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/module.cpp
    ${CMAKE_CURRENT_LIST_DIR}/nls.cpp
    ${CMAKE_CURRENT_LIST_DIR}/console.cpp
    ${CMAKE_CURRENT_LIST_DIR}/debug.cpp
    ${CMAKE_CURRENT_LIST_DIR}/environment.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mapping.cpp
    ${CMAKE_CURRENT_LIST_DIR}/profile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/peimage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/errortext.cpp
    ${CMAKE_CURRENT_LIST_DIR}/format.cpp)
  target_include_directories(winapi PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endif()

fw_add_benchmark(winapi_io_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench/io_bench.cpp LIBS fw::win32)

# Until the core area declares GetCurrentProcessId (the conformance helpers use it), the
# Linux test cannot build; reconfigure when that header changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../include/processthreadsapi.h)
file(READ ${CMAKE_CURRENT_LIST_DIR}/../include/processthreadsapi.h _fw_process_header)
if(NOT WIN32 AND (NOT _fw_process_header MATCHES "GetCurrentProcessId" OR NOT EXISTS ${CMAKE_CURRENT_LIST_DIR}/core.cmake))
  return()
endif()

# Test data: a message table compiled from format_test.mc, as a resource-only PE DLL (both
# builds load the same image, which exercises the layer's PE reader) and as the raw .bin.
find_program(FW_WINDMC NAMES x86_64-w64-mingw32-windmc)
find_program(FW_WINDRES NAMES x86_64-w64-mingw32-windres)
find_program(FW_PE_LD NAMES x86_64-w64-mingw32-ld)
set(_mc_dir ${CMAKE_CURRENT_BINARY_DIR}/format_test_mc)
file(MAKE_DIRECTORY ${_mc_dir})
set(_messages_dll ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/format_test_messages.dll)
set(_messages_bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/format_test_messages.bin)
add_custom_command(
  OUTPUT ${_messages_dll} ${_messages_bin}
  COMMAND ${FW_WINDMC} -U -r ${_mc_dir} -h ${_mc_dir} ${CMAKE_CURRENT_LIST_DIR}/tests/format_test.mc
  COMMAND ${FW_WINDRES} -O coff -o ${_mc_dir}/format_test_res.o format_test.rc
  COMMAND ${FW_PE_LD} --dll --entry=0 -o ${_messages_dll} ${_mc_dir}/format_test_res.o
  COMMAND ${CMAKE_COMMAND} -E copy ${_mc_dir}/MSG00409.bin ${_messages_bin}
  WORKING_DIRECTORY ${_mc_dir}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tests/format_test.mc
  VERBATIM)
add_custom_target(format_test_messages DEPENDS ${_messages_dll} ${_messages_bin})

# A module with a DllMain that records its calls (module_test.cpp).
add_library(module_test_probe SHARED ${CMAKE_CURRENT_LIST_DIR}/tests/module_test_probe.cpp)
target_link_libraries(module_test_probe PRIVATE fw::win32)
if(WIN32)
  set_target_properties(module_test_probe PROPERTIES PREFIX "")
endif()

fw_add_test(winapi_kernel32_io_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/file_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/mapping_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/profile_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/format_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/module_test.cpp
  LIBS fw::win32 winapi_conformance)
add_dependencies(winapi_kernel32_io_test format_test_messages module_test_probe)

# Out-of-memory faults over the calls the system makes; Linux only (the hook replaces
# operator new in this process, which Wine's kernel32 never calls).
fw_add_test(winapi_kernel32_memory_test LINUX_ONLY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/kernel32_memory_test.cpp
  LIBS fw::win32 winapi_allocation_fault)
