#include <windows.h>

#include "setup_entry_win.hpp"

#include <string>
#include <vector>

#include "cable_installation.hpp"
#include "device_installer_win.hpp"
#include "module_path_win.hpp"
#include "package_integrity.hpp"
#include "setup_flow.hpp"
#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::setup::win {

int run_driver_setup_entry(int argc, wchar_t** argv, const DetectCable& detect) {
    SetupSteps steps;
    for (int i = 0; i < argc; ++i) steps.arguments.push_back(wide_to_utf8(argv[i] ? argv[i] : L""));
    steps.own_module_path = [] { return own_module_path(); };
    steps.verify_package = [](const std::filesystem::path& folder) { return verify_package(folder); };
    steps.detect_cable_endpoints = detect;
    steps.ensure_cable_device = [](const std::filesystem::path& folder) {
        WindowsDeviceInstaller installer;
        return ensure_cable_device(folder, installer);
    };
    return run_setup_program(steps, [](std::string_view line) { write_stderr_line(line); });
}

}  // namespace tamsel::setup::win
