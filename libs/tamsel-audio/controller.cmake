# The audio controller thread and the audio device records. Included from CMakeLists.txt.
#
# The controller calls cubeb, so it links cubeb: natively the system's libcubeb, in the
# Windows builds the static cubeb built from its pinned source (cmake/TamselCubeb.cmake).

add_library(tamsel_controller STATIC src/device.cpp src/controller.cpp)
target_link_libraries(tamsel_controller PUBLIC tamsel::audio_base)
if(WIN32)
  target_sources(tamsel_controller PRIVATE src/windows/controller_apartment_win.cpp)
  include(TamselCubeb)
  target_link_libraries(tamsel_controller PUBLIC tamsel::cubeb ole32)
else()
  target_sources(tamsel_controller PRIVATE src/controller_apartment_none.cpp)
  find_path(TAMSEL_CUBEB_INCLUDE_DIR cubeb/cubeb.h REQUIRED)
  find_library(TAMSEL_CUBEB_LIBRARY cubeb REQUIRED)
  target_include_directories(tamsel_controller SYSTEM PUBLIC ${TAMSEL_CUBEB_INCLUDE_DIR})
  target_link_libraries(tamsel_controller PUBLIC ${TAMSEL_CUBEB_LIBRARY})
endif()
add_library(tamsel::controller ALIAS tamsel_controller)

# Private headers (cubeb table, device conversion, channels) for the tests.
set(_controller_private ${CMAKE_CURRENT_LIST_DIR}/src)

# Device records from hand-built cubeb collections: needs no cubeb library, runs everywhere.
tamsel_add_test(tamsel_device_tests SOURCES tests/device_test.cpp LIBS tamsel::controller)
if(TARGET tamsel_device_tests)
  target_include_directories(tamsel_device_tests PRIVATE ${_controller_private})
endif()

if(NOT WIN32)
  # The controller with a replaced cubeb table: start failures, channels, diagnostics.
  tamsel_add_test(tamsel_controller_tests SOURCES tests/controller_test.cpp
                  LIBS tamsel::controller THREADS)
  # Real cubeb against a private PulseAudio daemon, and against no daemon at all. The registry
  # is process-wide, so each situation has its own program.
  tamsel_add_test(tamsel_controller_pulse_tests SOURCES tests/controller_pulse_test.cpp tests/controller_audio_env.cpp
                  LIBS tamsel::controller THREADS TIMEOUT 120)
  tamsel_add_test(tamsel_controller_alsa_tests SOURCES tests/controller_alsa_test.cpp tests/controller_audio_env.cpp
                  LIBS tamsel::controller THREADS TIMEOUT 120)
  foreach(t tamsel_controller_tests tamsel_controller_pulse_tests tamsel_controller_alsa_tests)
    if(TARGET ${t})
      target_include_directories(${t} PRIVATE ${_controller_private})
    endif()
  endforeach()
  foreach(t tamsel_controller_pulse_tests tamsel_controller_alsa_tests)
    if(TARGET ${t})
      target_compile_definitions(${t} PRIVATE
        TAMSEL_PRIVATE_PULSEAUDIO="${CMAKE_CURRENT_LIST_DIR}/tests/support/private-pulseaudio")
    endif()
  endforeach()
endif()

if(WIN32)
  # Real cubeb (WASAPI) under Wine, whose audio driver reaches a private PulseAudio daemon.
  tamsel_add_test(tamsel_controller_wasapi_wine_tests
                  SOURCES tests/windows/controller_wasapi_wine_test.cpp
                  LIBS tamsel::controller THREADS TIMEOUT 180
                  WRAPPER ${CMAKE_CURRENT_LIST_DIR}/tests/support/private-pulseaudio run)
  target_include_directories(tamsel_controller_wasapi_wine_tests PRIVATE ${_controller_private})
endif()
