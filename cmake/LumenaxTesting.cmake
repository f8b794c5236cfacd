# lx_add_test(name SOURCES file... [LIBS lib...])
# One GoogleTest executable; each test case becomes its own CTest test.
function(lx_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE lumenax lx_testsupport lx_warnings GTest::gtest
                                        GTest::gtest_main ${ARG_LIBS})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "LX_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
