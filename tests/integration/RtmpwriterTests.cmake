# End-to-end tests of the rtmpwriter program against the private nginx and the fake server.
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_integration_test SOURCES RtmpwriterTest.cpp LIBS test_servers LABEL integration TIMEOUT 240)
  target_compile_definitions(rtmpwriter_integration_test PRIVATE QV_RTMPWRITER="$<TARGET_FILE:rtmpwriter>"
    QV_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures" QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(rtmpwriter_integration_test rtmpwriter)
  if(TARGET fixtures)
    add_dependencies(rtmpwriter_integration_test fixtures)
  endif()
endif()
