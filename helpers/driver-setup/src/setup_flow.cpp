#include "setup_flow.hpp"

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace tamsel::setup {

namespace fs = std::filesystem;

Result<fs::path> driver_folder_of(const fs::path& own_path) {
    // A bare name or a root has no folder to hold the package.
    if (!own_path.has_relative_path()) return fail("missing application folder");
    const fs::path app_folder = own_path.parent_path();
    if (app_folder.empty()) return fail("missing application folder");
    // operator/ puts the platform's separator between the parts. A '/' inside one part would
    // reach Windows unchanged, and a \\?\ path is taken literally, '/' included.
    return app_folder / "drivers" / "vbcable";
}

namespace {

// The decision on the VB-CABLE status: a result, or no value to go on to the installation.
std::optional<SetupResult> decide(const CableStatus& status) {
    return std::visit(
        [](const auto& s) -> std::optional<SetupResult> {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, Ready>) {
                return SetupResult(SetupSuccess{false});
            } else if constexpr (std::is_same_v<S, EndpointsMissing> || std::is_same_v<S, RestartPending>) {
                return SetupResult(SetupSuccess{true});
            } else if constexpr (std::is_same_v<S, Problem>) {
                return SetupResult(fail(s.message));
            } else {
                // No device, or one without a driver: the installation goes on.
                static_assert(std::is_same_v<S, Absent> || std::is_same_v<S, DriverMissing>);
                return std::nullopt;
            }
        },
        status);
}

}  // namespace

SetupResult run_setup(const SetupSteps& steps) {
    // Before anything else: no path is resolved, no file read, no device queried.
    if (steps.arguments.size() != 1) return fail("driver setup takes no arguments");

    const auto own_path = steps.own_module_path();
    if (!own_path) return own_path.error_result();
    const auto driver_folder = driver_folder_of(*own_path);
    if (!driver_folder) return driver_folder.error_result();

    steps.remove_stale_staging();
    const Status verified = steps.verify_package(*driver_folder);
    if (!verified) return verified.error_result();

    const auto report = steps.detect_cable_endpoints();
    if (!report) return report.error_result();
    if (auto decided = decide(report->vb_cable)) return std::move(*decided);

    // Removed when this function returns, after the installation.
    const Result<StagedPackage> staged = steps.stage_package(*driver_folder);
    if (!staged) return staged.error_result();
    return steps.ensure_cable_device((*staged)->path());
}

int exit_code_of(const SetupResult& result) {
    if (!result) return EXIT_FAILED;
    return result->reboot_required ? EXIT_REBOOT_REQUIRED : EXIT_OK;
}

std::string status_line_of(const SetupResult& result) {
    if (result) return {};
    return "TAMSEL_DRIVER_SETUP " + result.error() + "\n";
}

int run_setup_program(const SetupSteps& steps, const std::function<void(std::string_view)>& write_line) {
    const SetupResult result = run_setup(steps);
    if (!result) write_line(status_line_of(result));
    return exit_code_of(result);
}

}  // namespace tamsel::setup
