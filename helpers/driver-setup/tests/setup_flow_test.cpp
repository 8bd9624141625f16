// The setup run with every step replaced: argument rule, paths, step order, the decision on
// each cable status, the staging folder handed to the installation and removed on every way
// out, and the exit code and status line that follow. Last, the run over the real package
// check, staging and installation rules with scripted files and installer.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cable_installation.hpp"
#include "fake_device_installer.hpp"
#include "fake_package_files.hpp"
#include "setup_flow.hpp"

namespace tamsel::setup {
namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

// Stands for the run's staging folder: logs when it is removed.
class LoggedStaging final : public StagingFolder {
public:
    explicit LoggedStaging(Calls& calls) : calls_(calls) {}
    ~LoggedStaging() override { calls_.push_back("remove staging"); }
    const fs::path& path() const override { return path_; }
    Result<std::unique_ptr<StagedFile>> create_file(std::string_view) override { return fail("unused"); }

private:
    Calls& calls_;
    fs::path path_ = fs::path("Temp") / "tamsel-driver-setup-staged";
};

struct Recorder {
    Calls calls;
    std::vector<std::string> lines;
    fs::path own_path = fs::path("app") / "tamsel_driver_setup.exe";
    Result<fs::path> own_result = fail("unset");
    bool own_fails = false;
    Status verify_result = ok();
    Result<CableReport> detect_result = CableReport{};
    Status stage_result = ok();
    SetupResult ensure_result = SetupSuccess{false};
    fs::path verified_folder, staged_from, ensured_folder;

    SetupSteps steps(std::vector<std::string> arguments = {"tamsel_driver_setup.exe"}) {
        SetupSteps s;
        s.arguments = std::move(arguments);
        s.own_module_path = [this]() -> Result<fs::path> {
            calls.push_back("own_module_path");
            if (own_fails) return fail("The specified module could not be found. (os error 126)");
            return own_path;
        };
        s.remove_stale_staging = [this] { calls.push_back("remove_stale_staging"); };
        s.verify_package = [this](const fs::path& folder) -> Status {
            calls.push_back("verify_package");
            verified_folder = folder;
            return verify_result;
        };
        s.detect_cable_endpoints = [this]() {
            calls.push_back("detect");
            return detect_result;
        };
        s.stage_package = [this](const fs::path& folder) -> Result<StagedPackage> {
            calls.push_back("stage_package");
            staged_from = folder;
            if (!stage_result) return stage_result.error_result();
            return StagedPackage(std::make_unique<LoggedStaging>(calls));
        };
        s.ensure_cable_device = [this](const fs::path& folder) {
            calls.push_back("ensure_cable_device");
            ensured_folder = folder;
            return ensure_result;
        };
        return s;
    }
    int run(std::vector<std::string> arguments = {"tamsel_driver_setup.exe"}) {
        return run_setup_program(steps(std::move(arguments)),
                                 [this](std::string_view line) { lines.emplace_back(line); });
    }
};

CableReport report_with(CableStatus vb, CableStatus hifi = Absent{}) {
    CableReport report;
    report.vb_cable = std::move(vb);
    report.hifi_cable = std::move(hifi);
    return report;
}

const Calls UP_TO_DETECT = {"own_module_path", "remove_stale_staging", "verify_package", "detect"};
// The staging folder is removed after the installation, whatever its result.
const Calls INSTALLING = {"own_module_path", "remove_stale_staging", "verify_package", "detect", "stage_package",
                          "ensure_cable_device", "remove staging"};

TEST(SetupFlow, ArgumentRuleComesBeforeAnything) {
    const std::vector<std::vector<std::string>> argument_lists = {
        {"tamsel_driver_setup.exe", ""}, {"tamsel_driver_setup.exe", "--help"}, {"a", "b", "c"}, {}};
    for (const auto& arguments : argument_lists) {
        Recorder r;
        EXPECT_EQ(r.run(arguments), 1);
        EXPECT_TRUE(r.calls.empty()) << "no step may run";
        EXPECT_EQ(r.lines, (std::vector<std::string>{"TAMSEL_DRIVER_SETUP driver setup takes no arguments\n"}));
    }
}

TEST(SetupFlow, EachCableStatusDecides) {
    const struct {
        const char* label;
        CableStatus vb;
        int exit_code;
        const char* line;  // nullptr: no status line
        Calls calls;
    } cases[] = {
        {"ready", Ready{}, 0, nullptr, UP_TO_DETECT},
        {"endpoints missing", EndpointsMissing{}, 3010, nullptr, UP_TO_DETECT},
        {"restart pending", RestartPending{}, 3010, nullptr, UP_TO_DETECT},
        {"problem", Problem{"Duplicate driver devices; check Device Manager"}, 1,
         "TAMSEL_DRIVER_SETUP Duplicate driver devices; check Device Manager\n", UP_TO_DETECT},
        {"absent", Absent{}, 0, nullptr, INSTALLING},
        {"a device without a driver", DriverMissing{}, 0, nullptr, INSTALLING},
    };
    for (const auto& c : cases) {
        Recorder r;
        // The Hi-Fi status must play no part: give it the opposite of what would matter.
        r.detect_result = report_with(c.vb, Problem{"hifi problem"});
        EXPECT_EQ(r.run(), c.exit_code) << c.label;
        EXPECT_EQ(r.calls, c.calls) << c.label;
        if (c.line) {
            EXPECT_EQ(r.lines, (std::vector<std::string>{c.line})) << c.label;
        } else {
            EXPECT_TRUE(r.lines.empty()) << c.label;
        }
    }
}

TEST(SetupFlow, InstallationResultBecomesTheRunResult) {
    const struct {
        const char* label;
        SetupResult result;
        int exit_code;
        const char* line;
    } cases[] = {
        {"healthy or installed", SetupSuccess{false}, 0, nullptr},
        {"installed, restart", SetupSuccess{true}, 3010, nullptr},
        {"SetupAPI code", fail("install signed cable: Windows error 3758096967"), 1,
         "TAMSEL_DRIVER_SETUP install signed cable: Windows error 3758096967\n"},
        {"message with quotes and colons kept as is", fail("a \"b\": c\\d"), 1, "TAMSEL_DRIVER_SETUP a \"b\": c\\d\n"},
    };
    for (const auto& c : cases) {
        Recorder r;
        r.detect_result = report_with(Absent{}, Ready{});
        r.ensure_result = c.result;
        EXPECT_EQ(r.run(), c.exit_code) << c.label;
        EXPECT_EQ(r.calls, INSTALLING) << c.label << ": staging removed after the installation";
        if (c.line) {
            EXPECT_EQ(r.lines, (std::vector<std::string>{c.line})) << c.label;
        } else {
            EXPECT_TRUE(r.lines.empty()) << c.label;
        }
    }
}

TEST(SetupFlow, FailuresStopTheLaterSteps) {
    const struct {
        const char* label;
        void (*script)(Recorder&);
        const char* line;
        Calls calls;
    } cases[] = {
        {"own path", [](Recorder& r) { r.own_fails = true; },
         "TAMSEL_DRIVER_SETUP The specified module could not be found. (os error 126)\n", {"own_module_path"}},
        {"bare name", [](Recorder& r) { r.own_path = "tamsel_driver_setup.exe"; },
         "TAMSEL_DRIVER_SETUP missing application folder\n", {"own_module_path"}},
        {"root", [](Recorder& r) { r.own_path = fs::path("/"); },
         "TAMSEL_DRIVER_SETUP missing application folder\n", {"own_module_path"}},
        {"package, even with a ready cable",
         [](Recorder& r) {
             r.verify_result = fail("missing bundled driver file VBCABLE_ControlPanel.exe");
             r.detect_result = report_with(Ready{});
         },
         "TAMSEL_DRIVER_SETUP missing bundled driver file VBCABLE_ControlPanel.exe\n",
         {"own_module_path", "remove_stale_staging", "verify_package"}},
        {"detection", [](Recorder& r) { r.detect_result = fail("Cannot enumerate Windows audio driver identities"); },
         "TAMSEL_DRIVER_SETUP Cannot enumerate Windows audio driver identities\n", UP_TO_DETECT},
        {"staging, no installation",
         [](Recorder& r) {
             r.detect_result = report_with(Absent{});
             r.stage_result = fail("stage driver package: Access is denied. (os error 5)");
         },
         "TAMSEL_DRIVER_SETUP stage driver package: Access is denied. (os error 5)\n",
         {"own_module_path", "remove_stale_staging", "verify_package", "detect", "stage_package"}},
    };
    for (const auto& c : cases) {
        Recorder r;
        c.script(r);
        EXPECT_EQ(r.run(), 1) << c.label;
        EXPECT_EQ(r.calls, c.calls) << c.label;
        EXPECT_EQ(r.lines, (std::vector<std::string>{c.line})) << c.label;
    }
}

TEST(SetupFlow, PackageNextToTheProgramInstalledFromTheStagingFolder) {
    Recorder r;
    r.own_path = fs::path("base") / "app" / "tamsel_driver_setup.exe";
    r.detect_result = report_with(Absent{});
    EXPECT_EQ(r.run(), 0);
    const fs::path expected = fs::path("base") / "app" / "drivers" / "vbcable";
    EXPECT_EQ(r.verified_folder.native(), expected.native());
    EXPECT_EQ(r.staged_from.native(), expected.native());
    EXPECT_EQ(r.ensured_folder.native(), (fs::path("Temp") / "tamsel-driver-setup-staged").native())
        << "the installation reads the staged copy, never the package folder";
}

TEST(SetupFlow, DriverFolderOf) {
    const struct {
        fs::path own;
        fs::path::string_type expected;
    } cases[] = {
#if defined(_WIN32)
        {L"C:\\Program Files\\Tamsel\\tamsel_driver_setup.exe", L"C:\\Program Files\\Tamsel\\drivers\\vbcable"},
        {L"C:\\tamsel_driver_setup.exe", L"C:\\drivers\\vbcable"},
        {L"\\\\server\\share\\app\\setup.exe", L"\\\\server\\share\\app\\drivers\\vbcable"},
        // Windows takes a \\?\ path literally: a '/' in it would not separate anything.
        {L"\\\\?\\C:\\Program Files\\Tamsel\\setup.exe", L"\\\\?\\C:\\Program Files\\Tamsel\\drivers\\vbcable"},
        {L"\\\\?\\UNC\\server\\share\\setup.exe", L"\\\\?\\UNC\\server\\share\\drivers\\vbcable"},
#else
        {"/opt/app/setup.exe", "/opt/app/drivers/vbcable"},
        {"/setup.exe", "/drivers/vbcable"},
#endif
    };
    for (const auto& c : cases) {
        const auto folder = driver_folder_of(c.own);
        ASSERT_TRUE(folder.has_value()) << c.own;
        EXPECT_EQ(folder->native(), c.expected);
    }
    EXPECT_EQ(driver_folder_of(fs::path("setup.exe")).error(), "missing application folder");
    EXPECT_EQ(driver_folder_of(fs::path()).error(), "missing application folder");
}

TEST(SetupFlow, ExitCodesAndStatusLines) {
    EXPECT_EQ(exit_code_of(SetupSuccess{false}), 0);
    EXPECT_EQ(exit_code_of(SetupSuccess{true}), 3010);
    EXPECT_EQ(exit_code_of(fail("x")), 1);
    EXPECT_EQ(status_line_of(SetupSuccess{true}), "");
    EXPECT_EQ(status_line_of(fail("x y")), "TAMSEL_DRIVER_SETUP x y\n");
}

// The run over the real check, staging and installation rules: what SetupAPI is handed is the
// INF in the staging folder, and the folder is gone when the run ends, however it ends.
TEST(SetupFlow, SetupApiReadsTheStagedInfAndTheFolderGoesOnEveryPath) {
    using test::FakeDevice;
    const struct {
        const char* label;
        void (*script)(test::FakePackageFiles&, test::FakeDeviceInstaller&);
        const char* line;
    } cases[] = {
        {"installed", [](test::FakePackageFiles&, test::FakeDeviceInstaller&) {}, nullptr},
        {"driver update fails",
         [](test::FakePackageFiles&, test::FakeDeviceInstaller& i) { i.update_error = 0xE0000247; },
         "TAMSEL_DRIVER_SETUP install signed cable: Windows error 3758096967\n"},
        {"a healthy device after all", [](test::FakePackageFiles&, test::FakeDeviceInstaller& i) {
             i.devices = {FakeDevice{std::u16string(u"VBAudioVACWDM\0\0", 15)}};
         }, nullptr},
        {"lock not free in time",
         [](test::FakePackageFiles&, test::FakeDeviceInstaller& i) { i.lock_outcome = LockOutcome::TimedOut; },
         "TAMSEL_DRIVER_SETUP Another VB-CABLE installation is still running; try again when it has finished.\n"},
        {"the package changed after the check",
         [](test::FakePackageFiles& f, test::FakeDeviceInstaller&) {
             f.files["vbMmeCable64_win10.inf"].changes_after_first_open = true;
         },
         "TAMSEL_DRIVER_SETUP bundled driver integrity check failed: vbMmeCable64_win10.inf\n"},
    };
    const std::string manifest = std::string("{\"vbMmeCable64_win10.inf\": \"") + test::SIX_5A_SHA + "\"}";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::FakePackageFiles files;
        files.files["vbMmeCable64_win10.inf"] = {6, 6};
        test::FakeDeviceInstaller installer;
        c.script(files, installer);
        fs::path staged_at;
        SetupSteps steps;
        steps.arguments = {"tamsel_driver_setup.exe"};
        steps.own_module_path = [] { return Result<fs::path>(fs::path("app") / "tamsel_driver_setup.exe"); };
        steps.remove_stale_staging = [&files] { files.remove_stale_staging_folders(); };
        steps.verify_package = [&](const fs::path& folder) { return verify_package(folder, manifest, files); };
        steps.detect_cable_endpoints = [] { return Result<CableReport>(CableReport{}); };
        steps.stage_package = [&](const fs::path& folder) {
            auto staged = stage_package(folder, manifest, files);
            if (staged) staged_at = (*staged)->path();
            return staged;
        };
        steps.ensure_cable_device = [&](const fs::path& folder) {
            EXPECT_EQ(files.staging_folders_now, 1) << "staged for the installation";
            return ensure_cable_device(folder, installer);
        };
        std::vector<std::string> lines;
        run_setup_program(steps, [&lines](std::string_view line) { lines.emplace_back(line); });
        EXPECT_EQ(lines, c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
        EXPECT_EQ(files.staging_folders_now, 0) << "the staging folder is removed";
        EXPECT_EQ(files.stale_removals, 1);
        if (installer.seen_inf_path.empty()) continue;
        const std::u16string staged_inf =
            staged_at.u16string() + static_cast<char16_t>(fs::path::preferred_separator) + u"vbMmeCable64_win10.inf";
        EXPECT_EQ(installer.seen_inf_path, staged_inf) << "the INF's class from the staged copy";
        if (!installer.seen_update_inf.empty()) {
            EXPECT_EQ(installer.seen_update_inf, staged_inf);
        }
    }
}

}  // namespace
}  // namespace tamsel::setup
