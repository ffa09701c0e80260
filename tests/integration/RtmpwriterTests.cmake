# End-to-end tests of the rtmpwriter program against the private nginx and the fake server, and
# the fault suite (every scenario at once, each through its own fault proxy).
# A test that runs the rtmpwriter program on the media fixtures: where both are, and built first.
function(qv_uses_rtmpwriter target)
  target_compile_definitions(${target} PRIVATE QV_RTMPWRITER="$<TARGET_FILE:rtmpwriter>"
    QV_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures" QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(${target} rtmpwriter)
  if(TARGET fixtures)
    add_dependencies(${target} fixtures)
  endif()
endfunction()
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_integration_test SOURCES RtmpwriterTest.cpp ${PROJECT_SOURCE_DIR}/tests/sink/FaultProxy.cpp
    LIBS test_servers LABEL integration TIMEOUT 240)
  qv_add_test(rtmpwriter_fault_test SOURCES FaultSuiteTest.cpp ${PROJECT_SOURCE_DIR}/tests/sink/FaultProxy.cpp
    LIBS test_servers LABEL integration TIMEOUT 300)
  qv_uses_rtmpwriter(rtmpwriter_integration_test)
  qv_uses_rtmpwriter(rtmpwriter_fault_test)
  # The faults that stress memory and threads most, against the sanitizer build of the program.
  if(QV_SANITIZE)
    add_test(NAME FaultSuite.SanitizedRows COMMAND rtmpwriter_fault_test)
    set_tests_properties(FaultSuite.SanitizedRows PROPERTIES LABELS sanitized TIMEOUT 300
      ENVIRONMENT "QV_FAULT_ROWS=bigkey_stall,stall5_drop,rst_x3,term_unreachable;QV_FAULT_RSS_MB=640")
  endif()
endif()
# One input published to several destinations while one server restarts and one link stalls.
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_multi_test SOURCES MultiDestinationTest.cpp ${PROJECT_SOURCE_DIR}/tests/sink/FaultProxy.cpp
    LIBS test_servers LABEL integration TIMEOUT 180)
  qv_uses_rtmpwriter(rtmpwriter_multi_test)
  # The destinations' threads, the shared feeders and the callbacks' registry, against the
  # sanitizer build of the program.
  if(QV_SANITIZE)
    add_test(NAME MultiDestination.Sanitized COMMAND rtmpwriter_multi_test)
    set_tests_properties(MultiDestination.Sanitized PROPERTIES LABELS sanitized TIMEOUT 300)
  endif()
endif()
# The wire figures of the packet capture, with and without the right to capture.
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_sniffer_test SOURCES SnifferWireTest.cpp LIBS test_servers LABEL integration TIMEOUT 120)
  qv_uses_rtmpwriter(rtmpwriter_sniffer_test)
endif()
# Publishing through the RTMPT tunnel: the gateway, tinyproxy, a PAC file, the fallback list in a
# private network namespace, bad peers.
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_tunnel_test SOURCES TunnelTest.cpp LIBS test_servers LABEL integration TIMEOUT 180)
  qv_uses_rtmpwriter(rtmpwriter_tunnel_test)
  # The tunnel's threads and buffers through every kind of proxy and every bad peer, against the
  # sanitizer build of the program.
  if(QV_SANITIZE)
    add_test(NAME Tunnel.SanitizedRows COMMAND rtmpwriter_tunnel_test
      --gtest_filter=Tunnel.PublishesFrameForFrame*:Tunnel.BadPeers*)
    set_tests_properties(Tunnel.SanitizedRows PROPERTIES LABELS sanitized TIMEOUT 300)
  endif()
endif()
# rtmps through nginx's TLS front end, IPv6, the TLS failures and a restart over TLS.
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_tls_test SOURCES SecureTransportTest.cpp LIBS test_servers LABEL integration TIMEOUT 240)
  qv_uses_rtmpwriter(rtmpwriter_tls_test)
  target_include_directories(rtmpwriter_tls_test PRIVATE ${PROJECT_SOURCE_DIR})
endif()
# The web API (--ui): status, statistics, options and /metrics of a publication, a cue point on
# the fake server's wire, and the access rules.
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_web_api_test SOURCES WebApiTest.cpp LIBS test_servers PkgConfig::HTTPLIB LABEL integration TIMEOUT 180)
  qv_uses_rtmpwriter(rtmpwriter_web_api_test)
endif()
