# qorx_library(name SOURCES ... [DEPS ...]): a static library of ours, warnings as errors.
function(qorx_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC qorx_warnings ${ARG_DEPS})
endfunction()

# qorx_test(name SOURCES ... [DEPS ...] [LABELS ...]): a GoogleTest executable registered with CTest.
function(qorx_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE qorx_warnings ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${ARG_LABELS}")
endfunction()
