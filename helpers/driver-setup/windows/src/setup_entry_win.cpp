#include <windows.h>

#include "setup_entry_win.hpp"

#include <memory>
#include <string>
#include <vector>

#include "cable_installation.hpp"
#include "device_installer_win.hpp"
#include "install_lock_win.hpp"
#include "module_path_win.hpp"
#include "package_integrity.hpp"
#include "setup_flow.hpp"
#include "tamsel/audio/entry_guard.hpp"
#include "tamsel/audio/platform.hpp"

namespace tamsel::setup::win {

namespace {

int run_entry(const DetectCable& detect) {
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
    steps.remove_stale_staging = [] { system_package_files().remove_stale_staging_folders(); };
    steps.verify_package = [](const std::filesystem::path& folder) { return verify_package(folder); };
    steps.detect_cable_endpoints = detect;
    steps.stage_package = [](const std::filesystem::path& folder) { return stage_package(folder); };
    steps.ensure_cable_device = [](const std::filesystem::path& staged_folder) {
        const std::unique_ptr<InstallLock> lock = make_installation_lock();
        WindowsDeviceInstaller installer(*lock);
        return ensure_cable_device(staged_folder, installer);
    };
    return run_setup_program(steps, write_line);
}

}  // namespace

int run_driver_setup_entry(const DetectCable& detect) {
    // First, before anything can load a DLL: DLLs only from System32. The program runs with
    // administrator rights, and its own folder may be writable by the user who installed it.
    if (const std::uint32_t error = restrict_dll_search_to_system32(); error != 0) {
        const SetupResult failed = fail("restrict DLL search: Windows error " + std::to_string(error));
        write_stderr_line(status_line_of(failed));
        return exit_code_of(failed);
    }
    FailureReport failure;
    failure.report = [](std::string_view message) {
        write_stderr_line(status_line_of(fail(std::string(message))));
        return EXIT_FAILED;
    };
    failure.fixed_line = "TAMSEL_DRIVER_SETUP internal error\n";
    failure.system_error = windows_error;
    return run_guarded([&detect] { return run_entry(detect); }, failure);
}

}  // namespace tamsel::setup::win
