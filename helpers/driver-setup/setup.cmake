# Driver setup: manifest and package integrity, installer logic, the setup flow, the Windows
# installer and entry. Included from CMakeLists.txt.

target_sources(tamsel_setup_core PRIVATE
  src/manifest.cpp
  src/name_rule.cpp
  src/package_integrity.cpp
  src/install_lock.cpp
  src/cable_installation.cpp
  src/setup_flow.cpp)

# SHA-256 from the platform's cryptography; the package files from its file system.
if(WIN32)
  target_sources(tamsel_setup_core PRIVATE windows/src/sha256_bcrypt.cpp windows/src/package_files_win.cpp)
  target_link_libraries(tamsel_setup_core PUBLIC bcrypt)
else()
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  target_sources(tamsel_setup_core PRIVATE linux/src/sha256_openssl.cpp linux/src/package_files_posix.cpp)
  target_link_libraries(tamsel_setup_core PUBLIC OpenSSL::Crypto)
endif()

# Writes `output` as the bytes of `file`, a C array initialiser ('\xNN', ...), rewritten only when
# they change; a change of `file` configures again.
function(tamsel_embed_bytes file output)
  file(READ "${file}" _hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])"
         "\\1\n" _hex "${_hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," _bytes "${_hex}")
  file(CONFIGURE OUTPUT "${output}" CONTENT "${_bytes}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
endfunction()

# The compiled-in manifest is src/vbcable-manifest.json, embedded into src/driver_manifest.cpp
# (scripts/package reads the same file for the bundle's note). driver_manifest.cpp is a source of
# each program, so a program carries exactly one; the tests of the real manifest take it from
# this library.
set(_driver_manifest_bytes ${CMAKE_BINARY_DIR}/generated/driver_manifest_bytes.inc)
tamsel_embed_bytes(${CMAKE_CURRENT_LIST_DIR}/src/vbcable-manifest.json ${_driver_manifest_bytes})
set_property(SOURCE src/driver_manifest.cpp APPEND PROPERTY COMPILE_DEFINITIONS
             TAMSEL_DRIVER_MANIFEST="${_driver_manifest_bytes}")
add_library(tamsel_driver_manifest STATIC src/driver_manifest.cpp)
target_link_libraries(tamsel_driver_manifest PUBLIC tamsel_setup_core)

# Portable tests: the same sources run natively and, for the Windows build, under Wine.
set(_setup_tests ${CMAKE_CURRENT_LIST_DIR}/tests)
tamsel_add_test(tamsel_setup_manifest_tests
  SOURCES tests/manifest_test.cpp tests/name_rule_test.cpp
  LIBS tamsel_driver_manifest)
tamsel_add_test(tamsel_setup_integrity_tests
  SOURCES tests/package_integrity_test.cpp tests/sha256_test.cpp tests/test_folder.cpp
  LIBS tamsel_driver_manifest
  ARGS --gtest_filter=-Sha256File.*)
if(TARGET tamsel_setup_integrity_tests)
  # The large-file digest is compared with sha256sum of the same generated file.
  if(CMAKE_CROSSCOMPILING)
    set(_sha_launcher wine ${CMAKE_CROSSCOMPILING_EMULATOR})
  else()
    set(_sha_launcher native)
  endif()
  add_test(NAME tamsel_setup_sha256_file_test
           COMMAND ${_setup_tests}/sha256_file_check.sh ${_sha_launcher} $<TARGET_FILE:tamsel_setup_integrity_tests>
                   --gtest_filter=Sha256File.*)
  set_tests_properties(tamsel_setup_sha256_file_test PROPERTIES TIMEOUT 300)
endif()
tamsel_add_test(tamsel_setup_installer_tests
  SOURCES tests/cable_installation_test.cpp tests/install_lock_test.cpp
  LIBS tamsel_setup_core)
tamsel_add_test(tamsel_setup_flow_tests
  SOURCES tests/setup_flow_test.cpp
  LIBS tamsel_setup_core)

tamsel_add_fuzzer(tamsel_setup_name_rule_fuzzer SOURCES fuzz/name_rule_fuzz.cpp LIBS tamsel_setup_core)
tamsel_add_fuzzer(tamsel_setup_manifest_fuzzer SOURCES fuzz/manifest_fuzz.cpp LIBS tamsel_setup_core)

if(WIN32)
  # The code of the program that faces Windows, apart from its entry and the detection. The
  # installation lock is a source of each program (windows/src/install_lock_win.hpp): the
  # shipped lock below, the stand-in of the Wine test builds in _test_lock.
  add_library(tamsel_setup_windows STATIC
    windows/src/device_installer_win.cpp
    windows/src/install_lock_win.cpp
    windows/src/module_path_win.cpp
    windows/src/setup_entry_win.cpp)
  target_include_directories(tamsel_setup_windows PUBLIC windows/src)
  target_link_libraries(tamsel_setup_windows PUBLIC tamsel_setup_core setupapi newdev cfgmgr32)

  set(_shipped_lock windows/src/installation_lock_win.cpp)
  set(_test_lock tests/windows/test_installation_lock_win.cpp)

  # The shipped program (the detection library comes from detection.cmake).
  add_executable(tamsel_driver_setup windows/src/main.cpp src/driver_manifest.cpp ${_shipped_lock})
  target_link_libraries(tamsel_driver_setup PRIVATE tamsel_setup_windows tamsel_detection_windows)
  tamsel_windows_gui(tamsel_driver_setup)
  set(_setup_description "tamsel driver setup: checks and installs the VB-CABLE driver")
  tamsel_windows_program(tamsel_driver_setup DESCRIPTION "${_setup_description}")

  # Under Wine: the BCrypt digest of a large file against sha256sum (registered above), the
  # real SetupAPI installer in a prefix of its own, and the entry's status line and exit codes
  # seen through pipes by a parent process.
  set(_setup_win_tests ${CMAKE_CURRENT_LIST_DIR}/tests/windows)
  add_executable(tamsel_setup_installer_wine_tests tests/windows/device_installer_wine_test.cpp tests/test_folder.cpp
                 ${_test_lock})
  target_link_libraries(tamsel_setup_installer_wine_tests PRIVATE tamsel_setup_windows GTest::gtest_main)

  tamsel_add_test(tamsel_setup_module_path_wine_tests SOURCES tests/windows/module_path_wine_test.cpp
                  LIBS tamsel_setup_windows)

  # The shipped installation lock's Windows calls as Wine answers them, and what the shipped
  # program's lock and staging folder are made of, read from the program (what Wine cannot run).
  tamsel_add_test(tamsel_setup_install_lock_wine_tests SOURCES tests/windows/install_lock_wine_test.cpp
                  LIBS tamsel_setup_windows tamsel_test_support_windows)
  add_test(NAME tamsel_setup_shipped_program_check
           COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:tamsel_driver_setup>
                   -P ${_setup_win_tests}/shipped_program_check.cmake)

  # A program built like tamsel_driver_setup.exe whose detection step is a test double.
  add_executable(tamsel_setup_entry_double tests/windows/entry_double_main.cpp src/driver_manifest.cpp ${_shipped_lock})
  target_link_libraries(tamsel_setup_entry_double PRIVATE tamsel_setup_windows tamsel_test_failing_allocation)
  tamsel_windows_gui(tamsel_setup_entry_double)
  tamsel_windows_program(tamsel_setup_entry_double DESCRIPTION "${_setup_description}" ORIGINAL tamsel_driver_setup.exe)
  add_executable(tamsel_setup_entry_wine_tests tests/windows/entry_pipe_test.cpp tests/test_folder.cpp)
  target_link_libraries(tamsel_setup_entry_wine_tests PRIVATE tamsel_setup_core tamsel_test_support_windows
                        GTest::gtest_main)
  add_dependencies(tamsel_setup_entry_wine_tests tamsel_setup_entry_double tamsel_driver_setup)

  add_test(NAME tamsel_setup_installer_wine_tests
           COMMAND ${_setup_win_tests}/fresh-wine-prefix ${CMAKE_CROSSCOMPILING_EMULATOR}
                   $<TARGET_FILE:tamsel_setup_installer_wine_tests>)
  set_tests_properties(tamsel_setup_installer_wine_tests PROPERTIES TIMEOUT 300)
  add_test(NAME tamsel_setup_entry_wine_tests COMMAND tamsel_setup_entry_wine_tests)
  set_tests_properties(tamsel_setup_entry_wine_tests PROPERTIES TIMEOUT 300)

  # The program end to end. A test build of tamsel_driver_setup whose only differences are the
  # manifest of a generated test package (TAMSEL_TEST_DRIVER_MANIFEST, set for this test target
  # alone) and the stand-in installation lock (Wine has no private namespaces): the package
  # holds a test INF of class MEDIA with the cable's hardware identifier and no driver binary,
  # so the real flow can install a device in a fresh Wine prefix.
  set(_test_package ${CMAKE_BINARY_DIR}/bin/test-driver-package)
  set(_test_manifest_json ${CMAKE_BINARY_DIR}/generated/test_driver_manifest.json)
  set(_test_manifest ${CMAKE_BINARY_DIR}/generated/test_driver_manifest_bytes.inc)
  file(GLOB _package_files RELATIVE ${_setup_win_tests}/test-driver-package ${_setup_win_tests}/test-driver-package/*)
  list(SORT _package_files)
  set(_manifest_text "{\r\n")
  list(LENGTH _package_files _count)
  set(_index 0)
  foreach(name IN LISTS _package_files)
    configure_file(${_setup_win_tests}/test-driver-package/${name} ${_test_package}/${name} COPYONLY)
    file(SHA256 ${_setup_win_tests}/test-driver-package/${name} digest)
    math(EXPR _index "${_index} + 1")
    set(_comma ",")
    if(_index EQUAL _count)
      set(_comma "")
    endif()
    string(APPEND _manifest_text "  \"${name}\": \"${digest}\"${_comma}\r\n")
  endforeach()
  string(APPEND _manifest_text "}\r\n")
  file(WRITE ${_test_manifest_json} "${_manifest_text}")
  tamsel_embed_bytes(${_test_manifest_json} ${_test_manifest})
  add_executable(tamsel_driver_setup_test_manifest windows/src/main.cpp src/driver_manifest.cpp ${_test_lock})
  target_link_libraries(tamsel_driver_setup_test_manifest PRIVATE tamsel_setup_windows tamsel_detection_windows)
  target_compile_definitions(tamsel_driver_setup_test_manifest PRIVATE
                             TAMSEL_TEST_DRIVER_MANIFEST="${_test_manifest}")
  tamsel_windows_gui(tamsel_driver_setup_test_manifest)
  tamsel_windows_program(tamsel_driver_setup_test_manifest DESCRIPTION "${_setup_description}"
                         ORIGINAL tamsel_driver_setup.exe)

  # The DLL the flow test plants beside the program (its own folder: never bin/, never shipped).
  add_library(tamsel_test_marker_dll SHARED tests/windows/marker_dll.c)
  set_target_properties(tamsel_test_marker_dll PROPERTIES
    OUTPUT_NAME tamsel_marker
    PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-marker-dll
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-marker-dll
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-marker-dll/import)

  # The test build's whole flow with real cubeb on a private PulseAudio daemon, in a fresh prefix
  # (the flow installs a device), among planted DLLs that Wine is told to prefer to its own.
  # (The semicolon is escaped: the test property holds a list of VAR=VALUE.)
  set(_plant_environment
      "WINEDLLOVERRIDES=mscoree,mshtml=\\;newdev,bcrypt,avrt,winmm,ksuser,cfgmgr32,version,propsys,mmdevapi,tamsel_com_marker=n,b")
  tamsel_add_test(tamsel_setup_program_wine_tests
    SOURCES tests/windows/setup_program_wine_test.cpp tests/test_folder.cpp
    LIBS tamsel_setup_core tamsel_test_support_windows setupapi
    TIMEOUT 300
    WRAPPER ${_setup_win_tests}/fresh-wine-prefix ${CMAKE_SOURCE_DIR}/libs/tamsel-audio/tests/support/private-pulseaudio run)
  set_tests_properties(tamsel_setup_program_wine_tests PROPERTIES ENVIRONMENT "${_plant_environment}")
  add_dependencies(tamsel_setup_program_wine_tests tamsel_driver_setup_test_manifest tamsel_test_marker_dll)

  # A folder link above the package repointed while a run waits, the staging folder, two runs at
  # once and a terabyte package file: a test build whose detection double waits for the test
  # between the package check and the installation, and whose stand-in lock the test can hold
  # to stop a run after its staging. Fresh prefix: the runs install devices.
  add_executable(tamsel_setup_held_double tests/windows/held_double_main.cpp src/driver_manifest.cpp ${_test_lock})
  target_link_libraries(tamsel_setup_held_double PRIVATE tamsel_setup_windows)
  target_compile_definitions(tamsel_setup_held_double PRIVATE TAMSEL_TEST_DRIVER_MANIFEST="${_test_manifest}")
  tamsel_windows_gui(tamsel_setup_held_double)
  tamsel_add_test(tamsel_setup_staging_wine_tests
    SOURCES tests/windows/staging_wine_test.cpp tests/test_folder.cpp
    LIBS tamsel_setup_core tamsel_test_support_windows setupapi
    TIMEOUT 300
    WRAPPER ${_setup_win_tests}/fresh-wine-prefix)
  add_dependencies(tamsel_setup_staging_wine_tests tamsel_setup_held_double tamsel_setup_entry_double)
endif()
