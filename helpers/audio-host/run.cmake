# Capture run, packet loop and the Windows process-loopback source.
#   portable: src/capture_run.cpp (the run over CaptureRunPlatform), src/packet_loop.hpp
#   Windows:  windows/src/native/{capture_run_win,loopback_source_win,console_stop_win}.cpp

if(NOT WIN32)
  tamsel_add_test(tamsel_host_packet_loop_tests
    SOURCES tests/packet_loop_test.cpp
    LIBS tamsel_host_core)
  target_include_directories(tamsel_host_packet_loop_tests PRIVATE tests)
endif()
