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
  if(NOT TAMSEL_OBJECTS_ONLY)
    target_link_options(tamsel_audio_host PRIVATE -municode)
  endif()
endif()

if(NOT WIN32)
  tamsel_add_test(tamsel_host_front_tests
    SOURCES tests/command_line_test.cpp tests/entry_test.cpp tests/error_text_test.cpp
            tests/events_test.cpp tests/process_model_test.cpp
    LIBS tamsel_host_core)
endif()
