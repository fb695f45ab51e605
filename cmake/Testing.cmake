# Test registration for both targets. Each test executable is one ctest entry; on the
# Windows build it runs under Wine with one persistent wineserver for the whole run.

if(WIN32)
  find_program(FW_WINE wine)
  set(FW_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
  set(FW_WINE_RUN ${CMAKE_SOURCE_DIR}/scripts/wine-run)
  set(FW_WINE_ENV
    "WINEPREFIX=${FW_WINE_DIR}/prefix"
    "TMPDIR=${FW_WINE_DIR}/tmp"
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=mscoree,mshtml="
    "DISPLAY=")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FW_WINE_RUN} run)
  if(FW_WINE)
    add_test(NAME wine.start COMMAND ${FW_WINE_RUN} start)
    set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${FW_WINE_ENV}")
    add_test(NAME wine.stop COMMAND ${FW_WINE_RUN} stop)
    set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${FW_WINE_ENV}")
  endif()
endif()

# fw_add_test(NAME SOURCES src... [LIBS lib...] [LINUX_ONLY] [TIMEOUT s] [LABELS l...])
function(fw_add_test name)
  cmake_parse_arguments(T "LINUX_ONLY" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(WIN32 AND T_LINUX_ONLY)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_compile_options(${name} PRIVATE ${FW_WARNINGS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "unit;${T_LABELS}")
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${FW_WINE_ENV}")
  else()
    # Every test executable gets its own registry, root and event log.
    set(_state ${CMAKE_BINARY_DIR}/test-state/${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
      "WINAPI_STATE_DIR=${_state};WINAPI_REGISTRY=${_state}/registry.db;WINAPI_ROOT=${_state}/root")
  endif()
endfunction()

# fw_add_benchmark(NAME SOURCES src... [LIBS lib...]): Linux only, never part of ctest.
function(fw_add_benchmark name)
  if(NOT FW_BUILD_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_compile_options(${name} PRIVATE ${FW_WARNINGS})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()
