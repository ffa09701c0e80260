# End-to-end tests of the rtmpwriter program against the private nginx and the fake server, and
# the fault suite (every scenario at once, each through its own fault proxy).
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_integration_test SOURCES RtmpwriterTest.cpp ${PROJECT_SOURCE_DIR}/tests/sink/FaultProxy.cpp
    LIBS test_servers LABEL integration TIMEOUT 240)
  qv_add_test(rtmpwriter_fault_test SOURCES FaultSuiteTest.cpp ${PROJECT_SOURCE_DIR}/tests/sink/FaultProxy.cpp
    LIBS test_servers LABEL integration TIMEOUT 300)
  foreach(t rtmpwriter_integration_test rtmpwriter_fault_test)
    target_compile_definitions(${t} PRIVATE QV_RTMPWRITER="$<TARGET_FILE:rtmpwriter>"
      QV_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures" QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    add_dependencies(${t} rtmpwriter)
    if(TARGET fixtures)
      add_dependencies(${t} fixtures)
    endif()
  endforeach()
endif()
