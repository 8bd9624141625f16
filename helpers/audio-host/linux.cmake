# The capture host on Linux: /proc process identity and table, X11 window owners, PulseAudio
# capture, POSIX signals; the program tamsel_audio_host; its unit and end-to-end tests.

if(WIN32)
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(TAMSEL_PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(TAMSEL_XCB REQUIRED IMPORTED_TARGET xcb xcb-res)

file(GLOB TAMSEL_HOST_LINUX_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/linux/src/*.cpp)
list(FILTER TAMSEL_HOST_LINUX_SOURCES EXCLUDE REGEX "/main\\.cpp$")
add_library(tamsel_host_linux STATIC ${TAMSEL_HOST_LINUX_SOURCES})
target_include_directories(tamsel_host_linux PUBLIC linux/src)
target_link_libraries(tamsel_host_linux PUBLIC tamsel_host_core tamsel::capture PkgConfig::TAMSEL_PULSE PkgConfig::TAMSEL_XCB)

add_executable(tamsel_audio_host linux/src/main.cpp)
target_link_libraries(tamsel_audio_host PRIVATE tamsel_host_linux)

tamsel_add_test(tamsel_host_linux_tests
  SOURCES tests/linux/proc_parse_test.cpp tests/linux/stream_mixer_test.cpp
          tests/linux/sink_input_filter_test.cpp tests/linux/process_api_linux_test.cpp
  LIBS tamsel_host_linux)

if(NOT TAMSEL_FUZZ)
  # Programs the end-to-end tests drive: the stand-in translator, X11 windows, a tone burst
  # player, the PCM checker and the aligner of a capture against what was played.
  add_executable(tamsel_test_translator tests/linux/test_translator.cpp)
  target_link_libraries(tamsel_test_translator PRIVATE tamsel_host_linux)
  add_executable(tamsel_test_window tests/linux/test_window.cpp)
  target_link_libraries(tamsel_test_window PRIVATE PkgConfig::TAMSEL_XCB)
  add_executable(tamsel_test_burst tests/linux/test_burst.cpp)
  pkg_check_modules(TAMSEL_PULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
  target_link_libraries(tamsel_test_burst PRIVATE PkgConfig::TAMSEL_PULSE_SIMPLE)
  add_executable(tamsel_pcm_check tests/linux/pcm_check.cpp)
  add_executable(tamsel_pcm_align tests/linux/pcm_align.cpp)

  set(TAMSEL_E2E_ENV
    "HOST=$<TARGET_FILE:tamsel_audio_host>"
    "TRANSLATOR=$<TARGET_FILE:tamsel_test_translator>"
    "WINDOW=$<TARGET_FILE:tamsel_test_window>"
    "BURST=$<TARGET_FILE:tamsel_test_burst>"
    "PCM_CHECK=$<TARGET_FILE:tamsel_pcm_check>"
    "PCM_ALIGN=$<TARGET_FILE:tamsel_pcm_align>")
  # The capture tests run once on each sound server the host meets on a desktop; each test
  # starts its own server in a private runtime folder and stops it. They run one at a time (unit
  # tests beside them): two servers and two ASan hosts at once on a small machine hold each
  # other up for longer than the host's sample queue lasts. The speech round trips, which judge
  # every millisecond, run with nothing else beside them.
  foreach(server pulseaudio pipewire)
    foreach(case capture speech)
      add_test(NAME tamsel_host_linux_e2e_${case}_${server}
               COMMAND env ${TAMSEL_E2E_ENV} SOUND_SERVER=${server} bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/linux/e2e_${case}.sh)
      set_tests_properties(tamsel_host_linux_e2e_${case}_${server} PROPERTIES TIMEOUT 240 LABELS "e2e"
                           RESOURCE_LOCK tamsel_sound_server)
    endforeach()
    set_tests_properties(tamsel_host_linux_e2e_speech_${server} PROPERTIES RUN_SERIAL TRUE)
  endforeach()
  # The Node.js reference client (clients/node) against this host: node --test on a private
  # PulseAudio daemon with a real player, under a private display.
  find_program(TAMSEL_NODE NAMES node nodejs)
  if(TAMSEL_NODE)
    add_test(NAME tamsel_node_client_tests
             COMMAND env ${TAMSEL_E2E_ENV} NODE=${TAMSEL_NODE} bash ${CMAKE_SOURCE_DIR}/clients/node/test/run-with-pulseaudio.sh)
    set_tests_properties(tamsel_node_client_tests PROPERTIES TIMEOUT 240 LABELS "e2e"
                         RESOURCE_LOCK tamsel_sound_server)
    # The end-to-end script the hosted Windows jobs run (clients/node/e2e/capture-e2e.js), here
    # against this host with paplay as the player, on the same private PulseAudio daemon.
    add_test(NAME tamsel_node_capture_e2e
             COMMAND env ${TAMSEL_E2E_ENV} NODE=${TAMSEL_NODE} bash ${CMAKE_SOURCE_DIR}/clients/node/test/run-with-pulseaudio.sh
                     ${CMAKE_SOURCE_DIR}/clients/node/e2e/capture-e2e.js --host $<TARGET_FILE:tamsel_audio_host>
                     --window $<TARGET_FILE:tamsel_test_window>)
    set_tests_properties(tamsel_node_capture_e2e PROPERTIES TIMEOUT 240 LABELS "e2e"
                         RESOURCE_LOCK tamsel_sound_server)
    # The judge of the end-to-end captures (clients/node/e2e) on doctored captures.
    add_test(NAME tamsel_capture_judge_tests
             COMMAND ${TAMSEL_NODE} --test ${CMAKE_SOURCE_DIR}/clients/node/test/capture-judge.test.js)
    set_tests_properties(tamsel_capture_judge_tests PROPERTIES TIMEOUT 120)
  else()
    message(WARNING "node not found: the Node.js client tests are left out (scripts/install-deps installs nodejs)")
  endif()
  # The aligner that judges the speech round trips, against doctored captures.
  add_test(NAME tamsel_pcm_align_test
           COMMAND env "PCM_ALIGN=$<TARGET_FILE:tamsel_pcm_align>" bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/linux/pcm_align_test.sh)
  set_tests_properties(tamsel_pcm_align_test PROPERTIES TIMEOUT 240)
  add_test(NAME tamsel_host_linux_e2e_list
           COMMAND env ${TAMSEL_E2E_ENV} bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/linux/e2e_list.sh)
  set_tests_properties(tamsel_host_linux_e2e_list PROPERTIES TIMEOUT 240 LABELS "e2e")
endif()
