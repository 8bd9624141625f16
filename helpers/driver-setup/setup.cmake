# Driver setup: manifest and package integrity, installer logic, the setup flow, the Windows
# installer and entry. Included from CMakeLists.txt.

target_sources(tamsel_setup_core PRIVATE
  src/manifest.cpp
  src/name_rule.cpp
  src/package_integrity.cpp
  src/cable_installation.cpp
  src/setup_flow.cpp)

# SHA-256 from the platform's cryptography.
if(WIN32)
  target_sources(tamsel_setup_core PRIVATE windows/src/sha256_bcrypt.cpp)
  target_link_libraries(tamsel_setup_core PUBLIC bcrypt)
else()
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  target_sources(tamsel_setup_core PRIVATE linux/src/sha256_openssl.cpp)
  target_link_libraries(tamsel_setup_core PUBLIC OpenSSL::Crypto)
endif()

# Portable tests: the same sources run natively and, for the Windows build, under Wine.
set(_setup_tests ${CMAKE_CURRENT_LIST_DIR}/tests)
tamsel_add_test(tamsel_setup_manifest_tests
  SOURCES tests/manifest_test.cpp tests/name_rule_test.cpp
  LIBS tamsel_setup_core)
tamsel_add_test(tamsel_setup_integrity_tests
  SOURCES tests/package_integrity_test.cpp tests/sha256_test.cpp tests/test_folder.cpp
  LIBS tamsel_setup_core
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
  SOURCES tests/cable_installation_test.cpp
  LIBS tamsel_setup_core)
tamsel_add_test(tamsel_setup_flow_tests
  SOURCES tests/setup_flow_test.cpp
  LIBS tamsel_setup_core)

tamsel_add_fuzzer(tamsel_setup_name_rule_fuzzer SOURCES fuzz/name_rule_fuzz.cpp LIBS tamsel_setup_core)
tamsel_add_fuzzer(tamsel_setup_manifest_fuzzer SOURCES fuzz/manifest_fuzz.cpp LIBS tamsel_setup_core)

if(WIN32)
  # The code of the program that faces Windows, apart from its entry and the detection.
  add_library(tamsel_setup_windows STATIC
    windows/src/device_installer_win.cpp
    windows/src/module_path_win.cpp
    windows/src/setup_entry_win.cpp)
  target_include_directories(tamsel_setup_windows PUBLIC windows/src)
  target_link_libraries(tamsel_setup_windows PUBLIC tamsel_setup_core setupapi newdev cfgmgr32)

  # The shipped program. The detection library (detection.cmake) is declared after this file,
  # so the link libraries are added there.
  add_executable(tamsel_driver_setup windows/src/main.cpp)
  target_link_libraries(tamsel_driver_setup PRIVATE tamsel_setup_windows)
  tamsel_windows_gui(tamsel_driver_setup)

  # Under Wine: the BCrypt digest of a large file against sha256sum (registered above), the
  # real SetupAPI installer in a prefix of its own, and the entry's status line and exit codes
  # seen through pipes by a parent process.
  set(_setup_win_tests ${CMAKE_CURRENT_LIST_DIR}/tests/windows)
  add_executable(tamsel_setup_installer_wine_tests tests/windows/device_installer_wine_test.cpp tests/test_folder.cpp)
  target_link_libraries(tamsel_setup_installer_wine_tests PRIVATE tamsel_setup_windows GTest::gtest_main)

  tamsel_add_test(tamsel_setup_module_path_wine_tests SOURCES tests/windows/module_path_wine_test.cpp
                  LIBS tamsel_setup_windows)

  # A program built like tamsel_driver_setup.exe whose detection step is a test double.
  add_executable(tamsel_setup_entry_double tests/windows/entry_double_main.cpp)
  target_link_libraries(tamsel_setup_entry_double PRIVATE tamsel_setup_windows)
  tamsel_windows_gui(tamsel_setup_entry_double)
  add_executable(tamsel_setup_entry_wine_tests tests/windows/entry_pipe_test.cpp tests/test_folder.cpp)
  target_link_libraries(tamsel_setup_entry_wine_tests PRIVATE tamsel_setup_core tamsel_test_support_windows
                        GTest::gtest_main)
  add_dependencies(tamsel_setup_entry_wine_tests tamsel_setup_entry_double)

  add_test(NAME tamsel_setup_installer_wine_tests
           COMMAND ${_setup_win_tests}/fresh-wine-prefix ${CMAKE_CROSSCOMPILING_EMULATOR}
                   $<TARGET_FILE:tamsel_setup_installer_wine_tests>)
  set_tests_properties(tamsel_setup_installer_wine_tests PROPERTIES TIMEOUT 300)
  add_test(NAME tamsel_setup_entry_wine_tests COMMAND tamsel_setup_entry_wine_tests)
  set_tests_properties(tamsel_setup_entry_wine_tests PROPERTIES TIMEOUT 300)
endif()
