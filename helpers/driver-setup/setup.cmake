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
if(TARGET tamsel_setup_integrity_tests AND NOT TAMSEL_OBJECTS_ONLY)
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
