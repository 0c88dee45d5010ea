# Warnings for the project's own targets (not for generated code).
function(kest_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wformat=2 -Wshadow -Wno-unused-parameter)
endfunction()

# A test binary that runs on the host, without an appliance around it.
function(kest_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  kest_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "unit;${T_LABELS}")
endfunction()

# A test binary that runs inside one simulated appliance (kest-testbed).
# The build and source trees are bound in, so the binary and its data are
# reachable wherever the checkout lives.
function(kest_testbed_test name)
  cmake_parse_arguments(T "" "FIXTURE;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_FIXTURE)
    set(T_FIXTURE default)
  endif()
  add_executable(${name} ${T_SOURCES})
  kest_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kest_testbed_support GTest::gtest_main GTest::gmock)
  add_test(NAME ${name}
           COMMAND kest-testbed --fixture ${T_FIXTURE}
                   --bind ${CMAKE_BINARY_DIR} --bind ${CMAKE_SOURCE_DIR}
                   -- $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES LABELS "testbed;${T_LABELS}")
  if(T_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()
