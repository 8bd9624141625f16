# What every shipped Windows program carries besides its code (tamsel_windows_program):
#   - an embedded application manifest (asInvoker, uiAccess false, Windows 10/11), so Windows
#     never reads a <program>.manifest file put beside it, and a version resource with the
#     project's version (TamselVersion.cmake);
#   - one import policy on both architectures: only KnownDLLs are imported at start, every other
#     DLL is delay-loaded. The delay-load helper loads them on first use, after the entry's
#     SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), so from System32 only:
#       GNU ld (mingw-w64 x64): through delay import libraries made here with dlltool -y from
#         the system's import libraries;
#       LLD (zig, llvm-mingw): with the linker's own delay-load support, -Wl,--delayload=X.dll
#         (cmake/zig/zig-tool hands it to zig's LLD, whose driver takes no such option);
#     and where the linker fills the load configuration (LLD), DependentLoadFlags =
#     LOAD_LIBRARY_SEARCH_SYSTEM32 as a second line (libs/tamsel-audio/src/windows/load_config_win.c):
#     the loader then takes the start-up imports from System32 even should one of them not be a
#     KnownDLL on some Windows;
#   - the delay-load helper's failure hook (libs/tamsel-audio/src/windows/delay_load_failure_win.cpp):
#     a DLL or function this Windows lacks ends the program through its own failure report.
# Included from TamselBuild.cmake for the Windows builds.

# Delay-loaded: the DLLs the programs import that are not KnownDLLs, and the KnownDLLs apart from
# kernel32 and msvcrt too. On Windows a KnownDLL comes from System32 and so do its own imports,
# whenever it is loaded; Wine's builtin DLLs, however, bring imports of their own (its user32
# imports version.dll), which the loader would look for in the program's folder first if they
# were loaded with the program. Delayed, they are loaded after the entry's
# SetDefaultDllDirectories, under Wine as on Windows. mmdevapi stays a normal import: the capture
# host's end-to-end tests under Wine put a scripted mmdevapi.dll beside the program.
set(TAMSEL_DELAY_LOADED_DLLS newdev cfgmgr32 bcrypt winmm avrt ole32 oleaut32 setupapi shell32 user32)

# tamsel_delay_import_library(DEF LIB): with GNU ld, the delay import library of the functions the
# .def file names (dlltool -y); with LLD, their plain import library, whose DLL the program then
# names with -Wl,--delayload.
function(tamsel_delay_import_library def lib)
  if(TAMSEL_LINKER STREQUAL "lld")
    execute_process(COMMAND ${TAMSEL_DLLTOOL} -d ${def} -l ${lib} RESULT_VARIABLE rc ERROR_VARIABLE err)
  else()
    execute_process(COMMAND ${TAMSEL_DELAY_DLLTOOL} -d ${def} -y ${lib} RESULT_VARIABLE rc ERROR_VARIABLE err)
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dlltool could not make the import library ${lib} from ${def}: ${err}")
  endif()
endfunction()

# tamsel_link_delay_loaded(TARGET DEF): TARGET calls the functions the .def file names, delay-loaded
# from the DLL of its LIBRARY line as the programs' own delay-loaded DLLs are.
function(tamsel_link_delay_loaded target def)
  get_filename_component(name ${def} NAME_WE)
  file(STRINGS ${def} library REGEX "^LIBRARY ")
  string(REGEX REPLACE "^LIBRARY +" "" dll "${library}")
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${name}_delayed.a)
  if(NOT EXISTS ${lib} OR ${def} IS_NEWER_THAN ${lib})
    tamsel_delay_import_library(${def} ${lib})
  endif()
  target_link_libraries(${target} PRIVATE ${lib})
  if(TAMSEL_LINKER STREQUAL "lld")
    target_link_options(${target} PRIVATE -Wl,--delayload=${dll})
  endif()
endfunction()

set(TAMSEL_DELAY_LOAD_FAILURE_SOURCE ${CMAKE_SOURCE_DIR}/libs/tamsel-audio/src/windows/delay_load_failure_win.cpp)
if(TAMSEL_LINKER STREQUAL "lld")
  set(TAMSEL_LOAD_CONFIG_SOURCE ${CMAKE_SOURCE_DIR}/libs/tamsel-audio/src/windows/load_config_win.c)
else()
  find_program(TAMSEL_DELAY_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
  set(TAMSEL_DELAY_IMPORT_LIBS ${CMAKE_BINARY_DIR}/delay-import-libs)
  file(MAKE_DIRECTORY ${TAMSEL_DELAY_IMPORT_LIBS})
  foreach(dll IN LISTS TAMSEL_DELAY_LOADED_DLLS)
    find_library(TAMSEL_IMPORT_LIB_${dll} NAMES ${dll} REQUIRED NO_CACHE)
    set(def ${TAMSEL_DELAY_IMPORT_LIBS}/${dll}.def)
    set(lib ${TAMSEL_DELAY_IMPORT_LIBS}/lib${dll}.a)
    if(NOT EXISTS ${lib} OR ${TAMSEL_IMPORT_LIB_${dll}} IS_NEWER_THAN ${lib})
      # Every function the system's import library exports (a member with a code thunk).
      execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${TAMSEL_IMPORT_LIB_${dll}}
                      OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
      string(REGEX MATCHALL "[0-9a-f]+ T [A-Za-z][A-Za-z0-9_]*" thunks "${symbols}")
      list(TRANSFORM thunks REPLACE "^[0-9a-f]+ T " "")
      list(LENGTH thunks count)
      if(NOT rc EQUAL 0 OR count EQUAL 0)
        message(FATAL_ERROR "no exports read from ${TAMSEL_IMPORT_LIB_${dll}}")
      endif()
      list(REMOVE_DUPLICATES thunks)
      list(JOIN thunks "\n" exports)
      file(WRITE ${def} "LIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
      tamsel_delay_import_library(${def} ${lib})
    endif()
  endforeach()
endif()

# tamsel_windows_program(TARGET DESCRIPTION text [ORIGINAL file name])
function(tamsel_windows_program target)
  cmake_parse_arguments(P "" "DESCRIPTION;ORIGINAL" "" ${ARGN})
  if(NOT P_ORIGINAL)
    set(P_ORIGINAL ${target}.exe)
  endif()
  set(TARGET ${target})
  set(DESCRIPTION ${P_DESCRIPTION})
  set(ORIGINAL ${P_ORIGINAL})
  string(REGEX REPLACE "\\.exe$" "" INTERNAL ${P_ORIGINAL})
  set(MANIFEST ${CMAKE_SOURCE_DIR}/cmake/windows/program.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/windows/program.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${TAMSEL_VERSION_HEADER};${MANIFEST}")
  target_sources(${target} PRIVATE ${rc})
  target_link_libraries(${target} PRIVATE tamsel_version tamsel::audio_base)
  target_sources(${target} PRIVATE ${TAMSEL_DELAY_LOAD_FAILURE_SOURCE})
  if(TAMSEL_LOAD_CONFIG_SOURCE)
    target_sources(${target} PRIVATE ${TAMSEL_LOAD_CONFIG_SOURCE})
    list(TRANSFORM TAMSEL_DELAY_LOADED_DLLS REPLACE "(.+)" "-Wl,--delayload=\\1.dll" OUTPUT_VARIABLE delayed)
    target_link_options(${target} PRIVATE ${delayed})
  else()
    # Found before the system's import libraries of the same names.
    target_link_directories(${target} BEFORE PRIVATE ${TAMSEL_DELAY_IMPORT_LIBS})
    target_link_libraries(${target} PRIVATE delayimp)
    list(TRANSFORM TAMSEL_DELAY_LOADED_DLLS REPLACE "(.+)" "${TAMSEL_DELAY_IMPORT_LIBS}/lib\\1.a" OUTPUT_VARIABLE libs)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${libs})
  endif()
endfunction()
