# Cable endpoint detection: the portable rules in tamsel_setup_core, and on Windows the
# configuration-manager device tree, the endpoint form factor and the live entry.
# Included from CMakeLists.txt.

target_sources(tamsel_setup_core PRIVATE src/cable_detection.cpp)

if(WIN32)
  add_library(tamsel_detection_windows STATIC
    windows/src/device_tree_win.cpp
    windows/src/form_factor_win.cpp
    windows/src/cable_detection_win.cpp)
  target_include_directories(tamsel_detection_windows PUBLIC windows/src)
  target_link_libraries(tamsel_detection_windows PUBLIC tamsel_setup_core tamsel::controller
                        cfgmgr32 ole32 uuid)
endif()

# The rules against a fake device tree and fake device lists.
tamsel_add_test(tamsel_detection_tests
  SOURCES tests/detection_test.cpp
  LIBS tamsel_setup_core)

# The real configuration manager and property store, under Wine in the Windows build.
if(WIN32)
  tamsel_add_test(tamsel_detection_windows_tests
    SOURCES tests/windows/detection_device_tree_test.cpp
    LIBS tamsel_detection_windows)
endif()
