#pragma once
// The driver setup run: argument rule, own folder, package integrity, cable detection, and the
// health check or installation when no working cable device exists. Each step that touches the
// system is a replaceable call, so the order and the decisions run without Windows.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cable_report.hpp"
#include "package_integrity.hpp"
#include "setup_result.hpp"

namespace tamsel::setup {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_REBOOT_REQUIRED = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED

struct SetupSteps {
    // The program's argument list, its own name first.
    std::vector<std::string> arguments;
    // The full path of the running program.
    std::function<Result<std::filesystem::path>()> own_module_path;
    // Removes staging folders that killed runs left behind; never fails.
    std::function<void()> remove_stale_staging;
    std::function<Status(const std::filesystem::path& driver_folder)> verify_package;
    std::function<Result<CableReport>()> detect_cable_endpoints;
    // The package checked again as it is copied into a staging folder of this run, which
    // run_setup keeps (and so removes) until ensure_cable_device has returned.
    std::function<Result<StagedPackage>(const std::filesystem::path& driver_folder)> stage_package;
    // Given the staging folder, never the package folder: Windows reads the checked copy.
    std::function<SetupResult(const std::filesystem::path& staged_folder)> ensure_cable_device;
};

// `app_folder`\drivers\vbcable (each part joined with the platform's separator, so the form
// \\?\ that Windows does not normalise works too), or "missing application folder" when the
// path has no parent.
Result<std::filesystem::path> driver_folder_of(const std::filesystem::path& own_path);

// Runs the steps in order; the first failure ends the run and no later step runs. Only a run
// that goes on to ensure_cable_device (no cable device, or one without a driver) stages the
// package, and its staging folder is removed on every way out.
SetupResult run_setup(const SetupSteps& steps);

// 0, 3010 or 1.
int exit_code_of(const SetupResult& result);

// "TAMSEL_DRIVER_SETUP {message}\n" for a failure, empty for a success.
std::string status_line_of(const SetupResult& result);

// The whole program: runs the setup, hands the status line (failures only) to `write_line`
// and returns the exit code.
int run_setup_program(const SetupSteps& steps, const std::function<void(std::string_view)>& write_line);

}  // namespace tamsel::setup
