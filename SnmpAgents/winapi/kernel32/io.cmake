# kernel32 io area: files, mappings, console, debugger output, modules, environment,
# profile files, message formatting, code pages, local memory.
if(NOT WIN32)
  target_sources(winapi PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/module.cpp)
  target_include_directories(winapi PRIVATE ${CMAKE_CURRENT_LIST_DIR})
endif()
