# What zig 0.11's aarch64-windows-gnu libraries lack compared with llvm-mingw, provided here:
#   - import libraries for avrt.dll and newdev.dll (made from the .def files in cmake/zig/),
#   - _create_locale/_free_locale from msvcrt.dll, which libc++'s locale code calls,
#   - the KS format GUIDs cubeb's WASAPI backend uses (tamsel_zig_ks_guids, linked with cubeb).
# Included from TamselBuild.cmake when TAMSEL_ARM64_TOOLCHAIN is zig.

set(_zig_libs ${CMAKE_BINARY_DIR}/zig-import-libs)
file(MAKE_DIRECTORY ${_zig_libs})
foreach(name avrt newdev msvcrt_locale)
  set(def ${CMAKE_CURRENT_LIST_DIR}/zig/${name}.def)
  set(lib ${_zig_libs}/lib${name}.a)
  if(NOT EXISTS ${lib} OR ${def} IS_NEWER_THAN ${lib})
    execute_process(COMMAND ${TAMSEL_DLLTOOL} -d ${def} -l ${lib}
                    RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "zig dlltool could not make ${lib} from ${def}: ${err}")
    endif()
  endif()
endforeach()
link_directories(${_zig_libs})
add_link_options(${_zig_libs}/libmsvcrt_locale.a)

add_library(tamsel_zig_ks_guids STATIC ${CMAKE_CURRENT_LIST_DIR}/zig/ks_guids.c)
