# fw_add_fuzzer(NAME SOURCES src... [LIBS lib...] CORPUS dir)
# SOURCES define LLVMFuzzerTestOneInput. Every Linux build replays the corpus through it
# as a ctest entry (NAME_replay), so findings kept in the corpus stay fixed. With
# FW_FUZZ=ON (a clang build) it also builds NAME, a libFuzzer binary, and a short bounded
# fuzz run labelled "fuzz".
set(FW_FUZZ_SECONDS 20 CACHE STRING "Length of the bounded fuzz run of each fuzzer")
# The fuzz preset builds only this target, not the whole tree.
if(FW_FUZZ AND NOT TARGET fuzzers)
  add_custom_target(fuzzers)
endif()

function(fw_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(WIN32)
    return()
  endif()
  add_executable(${name}_replay ${F_SOURCES} ${CMAKE_SOURCE_DIR}/SnmpAgents/tests/fuzz_replay/replay_main.cpp)
  target_compile_options(${name}_replay PRIVATE ${FW_WARNINGS})
  target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
  add_test(NAME ${name}_replay COMMAND ${name}_replay ${F_CORPUS})
  set_tests_properties(${name}_replay PROPERTIES TIMEOUT 120 LABELS "unit;fuzz-replay")
  if(FW_FUZZ)
    add_executable(${name} ${F_SOURCES})
    target_compile_options(${name} PRIVATE ${FW_WARNINGS} -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    add_dependencies(fuzzers ${name})
    set(_work ${CMAKE_BINARY_DIR}/fuzz/${name})
    file(MAKE_DIRECTORY ${_work})
    # New inputs go to the build tree; the committed corpus is only read.
    add_test(NAME ${name}_run COMMAND ${name} -max_total_time=${FW_FUZZ_SECONDS} -timeout=5
      -artifact_prefix=${_work}-  ${_work} ${F_CORPUS})
    set_tests_properties(${name}_run PROPERTIES TIMEOUT 300 LABELS "fuzz")
  endif()
endfunction()
