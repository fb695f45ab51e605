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
    ${CMAKE_CURRENT_LIST_DIR}/mapping.cpp)
  target_include_directories(winapi PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endif()
