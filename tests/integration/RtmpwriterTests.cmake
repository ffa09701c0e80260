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
  # The faults that stress memory and threads most, against the sanitizer build of the program.
  if(QV_SANITIZE)
    add_test(NAME FaultSuite.SanitizedRows COMMAND rtmpwriter_fault_test)
    set_tests_properties(FaultSuite.SanitizedRows PROPERTIES LABELS sanitized TIMEOUT 300
      ENVIRONMENT "QV_FAULT_ROWS=bigkey_stall,stall5_drop,rst_x3,term_unreachable;QV_FAULT_RSS_MB=640")
  endif()
endif()
# The wire figures of the packet capture, with and without the right to capture.
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_sniffer_test SOURCES SnifferWireTest.cpp LIBS test_servers LABEL integration TIMEOUT 120)
  target_compile_definitions(rtmpwriter_sniffer_test PRIVATE QV_RTMPWRITER="$<TARGET_FILE:rtmpwriter>"
    QV_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    QV_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures")
  add_dependencies(rtmpwriter_sniffer_test rtmpwriter)
endif()
# Publishing through the RTMPT tunnel: the gateway, tinyproxy, a PAC file, the fallback list in a
# private network namespace, bad peers.
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_tunnel_test SOURCES TunnelTest.cpp LIBS test_servers LABEL integration TIMEOUT 180)
  target_compile_definitions(rtmpwriter_tunnel_test PRIVATE QV_RTMPWRITER="$<TARGET_FILE:rtmpwriter>"
    QV_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures" QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(rtmpwriter_tunnel_test rtmpwriter)
  if(TARGET fixtures)
    add_dependencies(rtmpwriter_tunnel_test fixtures)
  endif()
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
  target_compile_definitions(rtmpwriter_tls_test PRIVATE QV_RTMPWRITER="$<TARGET_FILE:rtmpwriter>"
    QV_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures")
  target_include_directories(rtmpwriter_tls_test PRIVATE ${PROJECT_SOURCE_DIR})
  add_dependencies(rtmpwriter_tls_test rtmpwriter)
endif()
# The web API (--ui): status, statistics, options and /metrics of a publication, a cue point on
# the fake server's wire, and the access rules.
if(TARGET rtmpwriter)
  qv_add_test(rtmpwriter_web_api_test SOURCES WebApiTest.cpp LIBS test_servers PkgConfig::HTTPLIB LABEL integration TIMEOUT 180)
  target_compile_definitions(rtmpwriter_web_api_test PRIVATE QV_RTMPWRITER="$<TARGET_FILE:rtmpwriter>"
    QV_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures")
  add_dependencies(rtmpwriter_web_api_test rtmpwriter)
  if(TARGET fixtures)
    add_dependencies(rtmpwriter_web_api_test fixtures)
  endif()
endif()
