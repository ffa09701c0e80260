# qv_add_test(<name> SOURCES <files...> LIBS <libs...> LABEL <folder> [TIMEOUT <s>] [SERIAL])
# SERIAL: the cases run alone, for a test whose browser and real-time stream must not share
# the two cores with the rest of the suite.
# One GoogleTest executable per unit; every test case becomes its own CTest entry so
# `ctest -j2` spreads them, and the label lets a run pick one folder (ctest -L net).
find_package(GTest REQUIRED)
include(GoogleTest)
function(qv_add_test name)
  cmake_parse_arguments(T "SERIAL" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(serial FALSE)
  if(T_SERIAL)
    set(serial TRUE)
  endif()
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT} RUN_SERIAL ${serial}
    DISCOVERY_TIMEOUT 30)
endfunction()
