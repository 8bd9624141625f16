# Capture host front: command line, error texts, event lines, process rules and the entry
# (portable core), the Windows process API and error texts, and the Windows program.

target_sources(tamsel_host_core PRIVATE src/error_text.cpp)

if(WIN32)
  add_library(tamsel_host_windows STATIC
    windows/src/native/system_error_win.cpp
    windows/src/native/capture_run_win.cpp)
  target_include_directories(tamsel_host_windows PUBLIC windows/src/native)
  target_link_libraries(tamsel_host_windows PUBLIC tamsel_host_core ole32 oleaut32)
endif()

if(NOT WIN32)
  tamsel_add_test(tamsel_host_front_tests
    SOURCES tests/error_text_test.cpp
    LIBS tamsel_host_core)
endif()
