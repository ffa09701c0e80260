# The writer filter end to end: a graph of push sources and the filter publishing to nginx.
qv_add_test(filter_integration_test SOURCES FilterNginxTest.cpp LIBS filter sink_test_support test_servers LABEL integration
  TIMEOUT 300)
add_dependencies(filter_integration_test fixtures)
target_compile_definitions(filter_integration_test PRIVATE QV_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures")
