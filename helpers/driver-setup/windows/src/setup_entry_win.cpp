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

namespace tamsel::setup::win {

int run_driver_setup_entry(const DetectCable& detect) {
    const auto write_line = [](std::string_view line) { write_stderr_line(line); };
    auto arguments = command_line_arguments();
    if (!arguments) {
        const SetupResult failed = fail("command line: " + arguments.error());
        write_line(status_line_of(failed));
        return exit_code_of(failed);
    }
    SetupSteps steps;
    steps.arguments = std::move(*arguments);
    steps.own_module_path = [] { return own_module_path(); };
    steps.verify_package = [](const std::filesystem::path& folder) { return verify_package(folder); };
    steps.detect_cable_endpoints = detect;
    steps.ensure_cable_device = [](const std::filesystem::path& folder) {
        WindowsDeviceInstaller installer;
        return ensure_cable_device(folder, installer);
    };
    return run_setup_program(steps, write_line);
}

}  // namespace tamsel::setup::win
