# Capture host front: command line, error texts, event lines, process rules and the entry
# (portable core), the Windows process API and error texts, and the Windows program.

target_sources(tamsel_host_core PRIVATE
  src/command_line.cpp
  src/entry.cpp
  src/error_text.cpp
  src/events.cpp
  src/process_model.cpp)

if(WIN32)
  add_library(tamsel_host_windows STATIC
    windows/src/native/system_error_win.cpp
    windows/src/native/process_api_win.cpp
    windows/src/native/capture_run_win.cpp)
  target_include_directories(tamsel_host_windows PUBLIC windows/src/native)
  target_link_libraries(tamsel_host_windows PUBLIC tamsel_host_core ole32 oleaut32)

  add_executable(tamsel_audio_host windows/src/main.cpp)
  target_link_libraries(tamsel_audio_host PRIVATE tamsel_host_windows)
  tamsel_windows_program(tamsel_audio_host DESCRIPTION "tamsel audio host: process list and process-loopback capture")
endif()

if(NOT WIN32)
  tamsel_add_test(tamsel_host_front_tests
    SOURCES tests/command_line_test.cpp tests/entry_test.cpp tests/error_text_test.cpp
            tests/events_test.cpp tests/process_model_test.cpp
    LIBS tamsel_host_core tamsel_version)
endif()

# Windows programs and tests, run under Wine by CTest.
if(WIN32)
  add_executable(tamsel_window_owner tests/windows/window_owner.cpp)
  add_executable(tamsel_validate_probe tests/windows/validate_probe.cpp)
  target_link_libraries(tamsel_validate_probe PRIVATE tamsel_host_windows tamsel_test_support_windows)

  tamsel_add_test(tamsel_host_program_tests
    SOURCES tests/windows/host_program_test.cpp
    LIBS tamsel_host_core
    TIMEOUT 300)
  add_dependencies(tamsel_host_program_tests tamsel_audio_host tamsel_window_owner)
  target_link_libraries(tamsel_host_program_tests PRIVATE tamsel_test_support_windows)

  tamsel_add_test(tamsel_host_validate_target_tests
    SOURCES tests/windows/validate_target_test.cpp
    LIBS tamsel_host_windows
    TIMEOUT 300)
  add_dependencies(tamsel_host_validate_target_tests tamsel_validate_probe)
  target_link_libraries(tamsel_host_validate_target_tests PRIVATE tamsel_test_support_windows
                        tamsel_test_failing_allocation)
endif()

# Fuzz targets (fuzz build only).
tamsel_add_fuzzer(tamsel_host_parse_arguments_fuzz
  SOURCES fuzz/parse_arguments_fuzz.cpp
  LIBS tamsel_host_core
  SECONDS 20)
tamsel_add_fuzzer(tamsel_host_utf16_arguments_fuzz
  SOURCES fuzz/utf16_arguments_fuzz.cpp
  LIBS tamsel_host_core
  SECONDS 20)
