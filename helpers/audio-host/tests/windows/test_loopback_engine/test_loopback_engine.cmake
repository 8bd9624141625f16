# The capture host end to end under Wine, over a scripted process-loopback engine.
#
#   tamsel_test_loopback_engine  mmdevapi.dll built from test sources. It goes to its own folder
#                                (build/<preset>/test-loopback-engine/), never to bin/ and never
#                                into an install or a release bundle, so no other program loads it.
#                                The end-to-end test copies the host and this DLL into a private
#                                folder and starts the copy with WINEDLLOVERRIDES=mmdevapi=n.
#   tamsel_host_end_to_end_tests the stand-in translator: every stop cause and activation outcome
#                                of the real tamsel_audio_host.exe (label wine-e2e)
#   tamsel_host_volume           the same program: >= 10 minutes of scripted audio through the
#                                host as fast as it takes it (label volume)
#   tamsel_host_latency_bench    the same program: latency at real-time pace, measured and printed
#                                (label benchmark, left out of the test presets)
#   tamsel_host_wakeups_bench    the same program: phases at 10 ms packets and silent, for
#                                helpers/audio-host/bench/wakeups.sh with WINE_BENCH (label benchmark)
if(NOT WIN32)
  return()
endif()

set(engine_dir ${CMAKE_CURRENT_LIST_DIR})
# Wine 8 loads its own mmdevapi even when another sits beside the program, unless the load
# order says native first; it reads the order only from the environment Wine starts with.
# Native then builtin: the copy beside the test's host finds the engine, every other program
# still gets Wine's.
# (The semicolon is escaped: the test property holds a list of VAR=VALUE.)
set(engine_environment "WINEDLLOVERRIDES=mscoree,mshtml=\\;mmdevapi=n,b")
set(engine_out ${CMAKE_BINARY_DIR}/test-loopback-engine)

add_library(tamsel_test_loopback_engine SHARED ${engine_dir}/loopback_engine.cpp)
set_target_properties(tamsel_test_loopback_engine PROPERTIES
  OUTPUT_NAME mmdevapi
  PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${engine_out}
  LIBRARY_OUTPUT_DIRECTORY ${engine_out}
  ARCHIVE_OUTPUT_DIRECTORY ${engine_out}/import)
target_link_libraries(tamsel_test_loopback_engine PRIVATE ole32 oleaut32 uuid)

if(NOT TARGET tamsel_audio_host)
  return()
endif()

tamsel_add_test(tamsel_host_end_to_end_tests
  SOURCES ${engine_dir}/host_end_to_end_test.cpp
  LIBS tamsel_host_core tamsel_test_support_windows
  ARGS $<TARGET_FILE:tamsel_audio_host> $<TARGET_FILE:tamsel_test_loopback_engine> --gtest_filter=-Volume*:Latency*:Wakeups*
  TIMEOUT 900)
# Seconds of audio in the volume test. Ten minutes take about 10 s through the x64 program under
# Wine and about the same through the ARM64 program under emulated arm64 Wine (qemu-user).
set(TAMSEL_VOLUME_AUDIO_SECONDS 600 CACHE STRING "seconds of scripted audio in the capture host volume test")

if(TARGET tamsel_host_end_to_end_tests)
  target_include_directories(tamsel_host_end_to_end_tests PRIVATE ${engine_dir})
  target_link_libraries(tamsel_host_end_to_end_tests PRIVATE shell32 psapi)
  add_dependencies(tamsel_host_end_to_end_tests tamsel_audio_host tamsel_test_loopback_engine)
  set_tests_properties(tamsel_host_end_to_end_tests PROPERTIES ENVIRONMENT "${engine_environment}" LABELS wine-e2e)
  # The volume test and the latency benchmark: the same program, their own CTest entries.
  add_test(NAME tamsel_host_volume
           COMMAND tamsel_host_end_to_end_tests $<TARGET_FILE:tamsel_audio_host>
                   $<TARGET_FILE:tamsel_test_loopback_engine> --gtest_filter=Volume*
                   --audio-seconds=${TAMSEL_VOLUME_AUDIO_SECONDS})
  set_tests_properties(tamsel_host_volume PROPERTIES TIMEOUT 900 LABELS volume
                       ENVIRONMENT "${engine_environment}")
  # A benchmark, not a test (its figures depend on the machine's load): the test presets leave
  # it out; `ctest --test-dir build/<preset> -L benchmark` runs it.
  add_test(NAME tamsel_host_latency_bench
           COMMAND tamsel_host_end_to_end_tests $<TARGET_FILE:tamsel_audio_host>
                   $<TARGET_FILE:tamsel_test_loopback_engine> --gtest_filter=Latency*)
  set_tests_properties(tamsel_host_latency_bench PROPERTIES TIMEOUT 300 LABELS benchmark
                       ENVIRONMENT "${engine_environment}")
  # How often the host's threads wake, playing and with a silent target: the phases this runs
  # are sampled from /proc by helpers/audio-host/bench/wakeups.sh (WINE_BENCH).
  add_test(NAME tamsel_host_wakeups_bench
           COMMAND tamsel_host_end_to_end_tests $<TARGET_FILE:tamsel_audio_host>
                   $<TARGET_FILE:tamsel_test_loopback_engine> --gtest_filter=Wakeups*)
  set_tests_properties(tamsel_host_wakeups_bench PROPERTIES TIMEOUT 300 LABELS benchmark
                       ENVIRONMENT "${engine_environment}")
endif()
