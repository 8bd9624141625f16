# Shared build rules: warnings, sanitizers, platform flags, third-party headers and the helpers
# that every component uses to declare its programs, tests and fuzzers.

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
                      -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual)
  if(TAMSEL_WERROR)
    add_compile_options(-Werror)
  endif()
endif()

if(TAMSEL_SANITIZER STREQUAL "address-undefined")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(TAMSEL_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TAMSEL_SANITIZER STREQUAL "")
  message(FATAL_ERROR "unknown TAMSEL_SANITIZER '${TAMSEL_SANITIZER}'")
endif()

if(TAMSEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TAMSEL_FUZZ needs clang (libFuzzer)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # Unicode Win32 API everywhere, no min/max macros, Windows 10 API level.
  add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  # Static runtime so the programs start under Wine and on Windows without MinGW or C++ runtime
  # DLLs (zig and llvm-mingw link libc++ statically with -static as well).
  add_link_options(-static)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_link_options(-static-libgcc -static-libstdc++)
  endif()
  if(TAMSEL_ARM64_TOOLCHAIN STREQUAL "zig")
    include(TamselZigCompat)
  endif()
  enable_language(RC)
  include(TamselWindowsProgram)
endif()

# tamsel_windows_gui(TARGET): the program runs in the GUI subsystem (no console window).
# Every Windows program reads its Unicode command line itself (GetCommandLineW), so no
# toolchain-specific entry option such as -municode is needed.
function(tamsel_windows_gui target)
  target_link_options(${target} PRIVATE -Wl,--subsystem,windows)
endfunction()

# nlohmann-json for the cross builds. /usr/include itself must never reach the MinGW include
# path (glibc headers would shadow the Windows ones), so a build-tree folder holds a link to
# just that header folder. cubeb for Windows is built from its pinned source (TamselCubeb).
if(CMAKE_CROSSCOMPILING)
  set(TAMSEL_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third-party-include)
  file(MAKE_DIRECTORY ${TAMSEL_THIRD_PARTY_INCLUDE})
  if(EXISTS /usr/include/nlohmann AND NOT EXISTS ${TAMSEL_THIRD_PARTY_INCLUDE}/nlohmann)
    file(CREATE_LINK /usr/include/nlohmann ${TAMSEL_THIRD_PARTY_INCLUDE}/nlohmann SYMBOLIC)
  endif()
  add_library(tamsel_third_party_headers INTERFACE)
  target_include_directories(tamsel_third_party_headers SYSTEM INTERFACE ${TAMSEL_THIRD_PARTY_INCLUDE})
  add_library(nlohmann_json::nlohmann_json ALIAS tamsel_third_party_headers)
else()
  find_package(nlohmann_json 3.10 REQUIRED)
endif()

# GoogleTest: the system package natively, built from Debian's source for the Windows build.
if(NOT TAMSEL_FUZZ)
  if(CMAKE_CROSSCOMPILING)
    if(EXISTS /usr/src/googletest/CMakeLists.txt)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
      set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
      foreach(t gtest gtest_main gmock gmock_main)
        if(TARGET ${t})
          target_compile_options(${t} PRIVATE -w)
          if(NOT TARGET GTest::${t})
            add_library(GTest::${t} ALIAS ${t})
          endif()
        endif()
      endforeach()
    else()
      message(FATAL_ERROR "GoogleTest source not found in /usr/src/googletest (apt-get install googletest)")
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

# Aggregate targets, so a configuration builds only what it runs: the ThreadSanitizer stage
# builds `tamsel_thread_tests`, the fuzz stage `tamsel_fuzzers`.
if(NOT TARGET tamsel_thread_tests)
  add_custom_target(tamsel_thread_tests)
  add_custom_target(tamsel_fuzzers)
endif()

# Compiler cache when the machine has one (a warm cache makes a CI run on the same machine fast).
find_program(TAMSEL_CCACHE ccache)
if(TAMSEL_CCACHE)
  set(CMAKE_C_COMPILER_LAUNCHER ${TAMSEL_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${TAMSEL_CCACHE})
endif()

# tamsel_add_test(NAME SOURCES src... [LIBS lib...] [THREADS] [LABELS l...] [ENV k=v...] [TIMEOUT s]
#                 [WRAPPER command...])
# One GoogleTest executable registered as one CTest test. THREADS marks tests of concurrent
# code: they also run in the ThreadSanitizer build, which skips every other test. WRAPPER runs
# the test inside a command that prepares a real system for it (a sound server, a fresh Wine
# prefix); the cross builds' launcher still comes between the wrapper and the program.
function(tamsel_add_test name)
  cmake_parse_arguments(T "THREADS" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV;ARGS;WRAPPER" ${ARGN})
  if(TAMSEL_FUZZ)
    return()
  endif()
  if(TAMSEL_SANITIZER STREQUAL "thread" AND NOT T_THREADS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  if(T_WRAPPER)
    add_test(NAME ${name} COMMAND ${T_WRAPPER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}> ${T_ARGS})
  else()
    add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  endif()
  set(labels ${T_LABELS})
  if(T_THREADS)
    list(APPEND labels threads)
    add_dependencies(tamsel_thread_tests ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${labels}")
  if(T_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
endfunction()

# tamsel_add_fuzzer(NAME SOURCES src... [LIBS lib...] [SECONDS n])
# A libFuzzer target, built only in the fuzz build, run by CTest for a bounded time.
function(tamsel_add_fuzzer name)
  cmake_parse_arguments(F "" "SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT TAMSEL_FUZZ)
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(tamsel_fuzzers ${name})
  set(corpus ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
  file(MAKE_DIRECTORY ${corpus})
  add_test(NAME ${name} COMMAND ${name} -max_total_time=${F_SECONDS} -rss_limit_mb=2048
           -print_final_stats=1 ${corpus})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()
