# Cross build for Windows on ARM64 (aarch64-windows-gnu: mingw-w64 CRT, libc++, lld).
#
# Two toolchains fit this file:
#   zig      zig 0.11.0 (scripts/install-zig puts it in the per-user cache), through the small
#            wrappers in cmake/zig/. The default on our Debian machines.
#   llvm-mingw  an llvm-mingw installation whose aarch64-w64-mingw32-clang/clang++ are on PATH
#            (for example on a Windows developer's machine). Chosen with
#            -DTAMSEL_ARM64_TOOLCHAIN=llvm-mingw, or automatically when no zig is found.
# zig lacks a few import libraries and GUID definitions that llvm-mingw has; TamselBuild.cmake
# provides them when TAMSEL_ARM64_TOOLCHAIN is zig.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

if(NOT DEFINED TAMSEL_ARM64_TOOLCHAIN)
  if(DEFINED ENV{TAMSEL_ZIG})
    set(_zig $ENV{TAMSEL_ZIG})
  else()
    # The per-user cache as every script finds it.
    execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/cache-folder
                    OUTPUT_VARIABLE _cache OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(_zig ${_cache}/zig-0.11.0/zig)
  endif()
  if(EXISTS "${_zig}")
    set(TAMSEL_ARM64_TOOLCHAIN zig)
  else()
    set(TAMSEL_ARM64_TOOLCHAIN llvm-mingw)
  endif()
endif()
set(TAMSEL_ARM64_TOOLCHAIN ${TAMSEL_ARM64_TOOLCHAIN} CACHE STRING "zig or llvm-mingw")

if(TAMSEL_ARM64_TOOLCHAIN STREQUAL "zig")
  set(_wrappers ${CMAKE_CURRENT_LIST_DIR}/zig)
  set(CMAKE_C_COMPILER ${_wrappers}/cc)
  set(CMAKE_CXX_COMPILER ${_wrappers}/c++)
  set(CMAKE_AR ${_wrappers}/ar CACHE FILEPATH "")
  set(CMAKE_RANLIB ${_wrappers}/ranlib CACHE FILEPATH "")
  set(TAMSEL_DLLTOOL ${_wrappers}/dlltool)
  # zig 0.11 has no resource compiler: LLVM's, for the same target (cmake/zig/windres).
  set(CMAKE_RC_COMPILER ${_wrappers}/windres)
elseif(TAMSEL_ARM64_TOOLCHAIN STREQUAL "llvm-mingw")
  set(CMAKE_C_COMPILER aarch64-w64-mingw32-clang)
  set(CMAKE_CXX_COMPILER aarch64-w64-mingw32-clang++)
  set(CMAKE_RC_COMPILER aarch64-w64-mingw32-windres)
  set(TAMSEL_DLLTOOL aarch64-w64-mingw32-dlltool)
else()
  message(FATAL_ERROR "TAMSEL_ARM64_TOOLCHAIN must be zig or llvm-mingw, not '${TAMSEL_ARM64_TOOLCHAIN}'")
endif()
set(MINGW ON)
# Both toolchains link with LLD, which fills the load configuration and makes the delay imports
# (TamselWindowsProgram.cmake).
set(TAMSEL_LINKER lld)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of the ARM64 build run under arm64 Wine in an emulated arm64 root.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/wine-arm64-run)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-arm64-run)
endif()
