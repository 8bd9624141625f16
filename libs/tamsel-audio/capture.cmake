# The capture pipeline: sample queue, capture worker, chunking, conversion, PCM output and the
# diagnostic line.

add_library(tamsel_capture STATIC
  src/capture/capture_worker.cpp
  src/capture/chunk_assembler.cpp
  src/capture/convert.cpp
  src/capture/convert_scalar.cpp
  src/capture/idle_wait.cpp
  src/capture/output.cpp)
target_link_libraries(tamsel_capture PUBLIC tamsel::audio_base)
add_library(tamsel::capture ALIAS tamsel_capture)

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  # The scalar rule is the baseline the fast conversion is measured against: keep it scalar.
  set_source_files_properties(src/capture/convert_scalar.cpp PROPERTIES
    COMPILE_OPTIONS "-fno-tree-vectorize;-fno-tree-slp-vectorize")
  # Without it GCC will not if-convert the clamp (a comparison "might trap"), and the blocks
  # stay scalar. The code never looks at floating-point exception flags, so results are unchanged.
  set_source_files_properties(src/capture/convert.cpp PROPERTIES COMPILE_OPTIONS "-fno-trapping-math")
endif()

# Internal headers for the tests and benchmarks.
add_library(tamsel_capture_internal INTERFACE)
target_include_directories(tamsel_capture_internal INTERFACE src/capture)
target_link_libraries(tamsel_capture_internal INTERFACE tamsel::capture)

# The out-of-memory case needs the sanitizer's allocator to fail like the system's does.
tamsel_add_test(tamsel_capture_unit_tests
  SOURCES tests/capture_convert_test.cpp tests/capture_producer_test.cpp tests/capture_idle_wait_test.cpp
  LIBS tamsel_capture_internal ENV ASAN_OPTIONS=allocator_may_return_null=1)
tamsel_add_test(tamsel_capture_worker_tests
  SOURCES tests/capture_worker_test.cpp
  LIBS tamsel_capture_internal tamsel_test_failing_allocation THREADS TIMEOUT 120)
tamsel_add_test(tamsel_capture_diagnostics_tests
  SOURCES tests/capture_diagnostics_test.cpp
  LIBS tamsel_capture_internal)
tamsel_add_test(tamsel_capture_alloc_tests
  SOURCES tests/capture_alloc_test.cpp
  LIBS tamsel_capture_internal tamsel_test_failing_allocation THREADS TIMEOUT 60)
if(NOT WIN32)
  tamsel_add_test(tamsel_capture_stdio_tests
    SOURCES tests/capture_stdio_test.cpp
    LIBS tamsel_capture_internal THREADS TIMEOUT 60)
endif()
# Ten minutes of audio through the real standard-output path: about 1 s under either sanitizer,
# and run as a Windows program too (ARM64 included).
tamsel_add_test(tamsel_capture_stress_tests
  SOURCES tests/capture_stress_test.cpp
  LIBS tamsel_capture_internal THREADS TIMEOUT 300 ENV TAMSEL_STRESS_AUDIO_SECONDS=600)

if(TAMSEL_BENCH AND NOT WIN32 AND NOT TAMSEL_FUZZ)
  find_package(benchmark REQUIRED)
  add_executable(tamsel_capture_bench bench/capture_bench.cpp)
  target_link_libraries(tamsel_capture_bench PRIVATE tamsel_capture_internal benchmark::benchmark)
endif()
