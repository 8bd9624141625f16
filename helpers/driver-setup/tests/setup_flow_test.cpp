// The setup run with every step replaced: argument rule, paths, step order, the decision on
// each cable status and the exit code and status line that follow.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "setup_flow.hpp"

namespace tamsel::setup {
namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

// Stands for the verified package's open files: logs when it is let go.
class LoggedHold final : public HeldHandle {
public:
    explicit LoggedHold(Calls& calls) : calls_(calls) {}
    ~LoggedHold() override { calls_.push_back("release package"); }

private:
    Calls& calls_;
};

struct Recorder {
    Calls calls;
    std::vector<std::string> lines;
    fs::path own_path = fs::path("app") / "tamsel_driver_setup.exe";
    Result<fs::path> own_result = fail("unset");
    bool own_fails = false;
    Status verify_result = ok();
    Result<CableReport> detect_result = CableReport{};
    SetupResult ensure_result = SetupSuccess{false};
    fs::path verified_folder, ensured_folder;

    SetupSteps steps(std::vector<std::string> arguments = {"tamsel_driver_setup.exe"}) {
        SetupSteps s;
        s.arguments = std::move(arguments);
        s.own_module_path = [this]() -> Result<fs::path> {
            calls.push_back("own_module_path");
            if (own_fails) return fail("The specified module could not be found. (os error 126)");
            return own_path;
        };
        s.verify_package = [this](const fs::path& folder) -> Result<PackageHold> {
            calls.push_back("verify_package");
            verified_folder = folder;
            if (!verify_result) return verify_result.error_result();
            PackageHold hold;
            hold.keep(std::make_unique<LoggedHold>(calls));
            return hold;
        };
        s.detect_cable_endpoints = [this]() {
            calls.push_back("detect");
            return detect_result;
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

// The package is let go after the last step that ran, whichever it was.
const Calls UP_TO_DETECT = {"own_module_path", "verify_package", "detect", "release package"};

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
        {"absent", Absent{}, 0, nullptr,
         {"own_module_path", "verify_package", "detect", "ensure_cable_device", "release package"}},
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
         {"own_module_path", "verify_package"}},
        {"detection", [](Recorder& r) { r.detect_result = fail("Cannot enumerate Windows audio driver identities"); },
         "TAMSEL_DRIVER_SETUP Cannot enumerate Windows audio driver identities\n", UP_TO_DETECT},
    };
    for (const auto& c : cases) {
        Recorder r;
        c.script(r);
        EXPECT_EQ(r.run(), 1) << c.label;
        EXPECT_EQ(r.calls, c.calls) << c.label;
        EXPECT_EQ(r.lines, (std::vector<std::string>{c.line})) << c.label;
    }
}

TEST(SetupFlow, DriverFolderNextToTheProgram) {
    Recorder r;
    r.own_path = fs::path("base") / "app" / "tamsel_driver_setup.exe";
    r.detect_result = report_with(Absent{});
    EXPECT_EQ(r.run(), 0);
    const fs::path expected = fs::path("base") / "app" / "drivers" / "vbcable";
    EXPECT_EQ(r.verified_folder.native(), expected.native());
    EXPECT_EQ(r.ensured_folder.native(), expected.native());
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

}  // namespace
}  // namespace tamsel::setup
