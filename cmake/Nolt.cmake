# Helpers shared by the component and test directories.

# A component library from every .cpp file of the calling directory.
function(nolt_library name)
  cmake_parse_arguments(A "" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${srcs})
  target_link_libraries(${name} PUBLIC nolt_core nolt_platform ${A_LIBS})
endfunction()

# A GoogleTest program registered as one test: the Windows builds run each test
# program once under Wine for all its cases. CHILD: the program is also its own child
# (tests/support/child), for the tests that start a process.
function(nolt_test name)
  cmake_parse_arguments(A "CHILD" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} nolt_test_support GTest::gtest GTest::gmock)
  if(A_CHILD)
    target_link_libraries(${name} PRIVATE nolt_test_child_main)
  else()
    target_link_libraries(${name} PRIVATE gtest_main)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT}
                       ENVIRONMENT "NOLT_SOURCE_DIR=${CMAKE_SOURCE_DIR};NOLT_BIN_DIR=${CMAKE_BINARY_DIR}/bin;${NOLT_LSAN_OPTIONS}")
endfunction()
