# Capture run, packet loop and the Windows process-loopback source.
#   portable: src/capture_run.cpp (the run over CaptureRunPlatform), src/packet_loop.hpp
#   Windows:  windows/src/native/{loopback_source_win,console_stop_win}.cpp and the run's
#             platform in capture_run_win.cpp (listed by front.cmake)

target_sources(tamsel_host_core PRIVATE src/capture_run.cpp)
target_link_libraries(tamsel_host_core PUBLIC tamsel::capture)

if(TARGET tamsel_host_windows)
  target_sources(tamsel_host_windows PRIVATE
    windows/src/native/loopback_source_win.cpp
    windows/src/native/console_stop_win.cpp)
  target_link_libraries(tamsel_host_windows PUBLIC mmdevapi ole32 uuid)
endif()

if(TARGET tamsel_host_windows)
  # The activation handler, its channel and the console handler, in process.
  tamsel_add_test(tamsel_host_capture_activation_tests
    SOURCES tests/windows/capture_activation_test.cpp
    LIBS tamsel_host_windows)
  # The stream set-up and the client wrapper over a scripted audio engine.
  tamsel_add_test(tamsel_host_capture_stream_tests
    SOURCES tests/windows/capture_stream_test.cpp
    LIBS tamsel_host_windows tamsel_test_support_windows tamsel_test_failing_allocation)
  # A stand-in translator that starts the real host as its child. Its captures end with Wine's
  # refusal of process loopback, which Windows grants: Wine only (label wine-behaviour).
  if(TARGET tamsel_audio_host)
    tamsel_add_test(tamsel_host_capture_translator_tests
      SOURCES tests/windows/capture_translator_test.cpp
      LIBS tamsel_host_core tamsel_test_support_windows
      ARGS $<TARGET_FILE:tamsel_audio_host>
      LABELS wine-behaviour
      TIMEOUT 600)
    add_dependencies(tamsel_host_capture_translator_tests tamsel_audio_host tamsel_window_owner)
  endif()
endif()

if(NOT WIN32)
  tamsel_add_test(tamsel_host_packet_loop_tests
    SOURCES tests/packet_loop_test.cpp
    LIBS tamsel_host_core)
  if(TARGET tamsel_host_packet_loop_tests)
    target_include_directories(tamsel_host_packet_loop_tests PRIVATE tests)
  endif()

  tamsel_add_test(tamsel_host_capture_run_tests
    SOURCES tests/capture_run_test.cpp
    LIBS tamsel_host_core)
  if(TARGET tamsel_host_capture_run_tests)
    target_include_directories(tamsel_host_capture_run_tests PRIVATE tests)
  endif()

  # The run with the real worker thread.
  tamsel_add_test(tamsel_host_capture_run_worker_tests
    SOURCES tests/capture_run_worker_test.cpp
    LIBS tamsel_host_core
    THREADS)
  if(TARGET tamsel_host_capture_run_worker_tests)
    target_include_directories(tamsel_host_capture_run_worker_tests PRIVATE tests)
  endif()
endif()

# The real program end to end over a scripted process-loopback engine (Windows builds only).
include(tests/windows/test_loopback_engine/test_loopback_engine.cmake)
