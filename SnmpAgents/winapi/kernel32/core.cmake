# kernel32 core area: synchronisation, threads, processes, time, system information.
if(NOT WIN32)
  target_sources(winapi PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/named_objects.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sync.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wait.cpp
    ${CMAKE_CURRENT_LIST_DIR}/critical_section.cpp
    ${CMAKE_CURRENT_LIST_DIR}/thread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/process.cpp
    ${CMAKE_CURRENT_LIST_DIR}/time.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sysinfo.cpp)
endif()

fw_add_test(winapi_kernel32_core_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/sync_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/thread_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/time_test.cpp
  LIBS fw::win32 winapi_conformance)
