// The verified package as another process sees it while a run holds it, a terabyte package
// file, and two runs at once. tamsel_setup_held_double.exe (the real entry and flow with the
// test package's manifest and a detection double that waits for the test) stops each run
// between its package check and its installation. The runs install devices, so this program
// runs in a fresh prefix of its own.
#include <windows.h>

#include <setupapi.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "setup_program_run.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tamsel::setup::test;
using tamsel::test_support::Child;

std::size_t cable_devices() {
    return for_each_cable_device([](HDEVINFO, SP_DEVINFO_DATA&) {});
}

void remove_cable_devices() {
    for_each_cable_device([](HDEVINFO set, SP_DEVINFO_DATA& record) {
        EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &record)) << GetLastError();
    });
}

// The hold points of the double: a semaphore each run releases once it holds the verified
// package, and the event that lets every waiting run go on.
struct HoldPoints {
    std::wstring base = L"tamsel-hold-" + std::to_wstring(GetCurrentProcessId());
    HANDLE arrived = CreateSemaphoreW(nullptr, 0, 16, (base + L"-arrived").c_str());
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, (base + L"-release").c_str());
    HoldPoints() { SetEnvironmentVariableW(L"TAMSEL_TEST_HOLD", base.c_str()); }
    HoldPoints(const HoldPoints&) = delete;
    HoldPoints& operator=(const HoldPoints&) = delete;
    ~HoldPoints() {
        SetEvent(release);
        SetEnvironmentVariableW(L"TAMSEL_TEST_HOLD", nullptr);
        CloseHandle(arrived);
        CloseHandle(release);
    }
    bool all_arrived(int runs) const {
        for (int i = 0; i < runs; ++i) {
            if (WaitForSingleObject(arrived, 60000) != WAIT_OBJECT_0) return false;
        }
        return true;
    }
};

// The held double as app\tamsel_driver_setup.exe with the test package beside it.
fs::path install_held_double(const TestFolder& folder) {
    const fs::path program = install_copy(folder, built_program(L"tamsel_setup_held_double.exe"));
    const fs::path package = program.parent_path() / L"drivers" / L"vbcable";
    fs::create_directories(package);
    for (const wchar_t* name : {L"vbMmeCable64_win10.inf", L"readme.txt"}) {
        const fs::path from = built_program(L"test-driver-package") / name;
        EXPECT_TRUE(CopyFileW(from.c_str(), (package / name).c_str(), FALSE)) << GetLastError();
    }
    return program;
}

Child start_run(const fs::path& program) {
    tamsel::test_support::ChildOptions options;
    options.input = tamsel::test_support::ChildInput::null_device;
    options.working_folder = program.parent_path().wstring();
    DWORD error = 0;
    Child child = Child::start(program.wstring(), {}, &error, options);
    EXPECT_TRUE(child.started()) << "CreateProcessW failed: " << error;
    return child;
}

bool move_to(const fs::path& from, const fs::path& to) { return MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE; }

TEST(HeldPackage, RefusedWhileARunHoldsItAllowedAfter) {
    const struct {
        const char* label;
        const wchar_t* from;  // relative to the program's folder
        const wchar_t* to;    // nullptr: open `from` for writing instead of renaming it
    } attempts[] = {
        {"open the INF for writing", L"drivers\\vbcable\\vbMmeCable64_win10.inf", nullptr},
        {"rename a package file", L"drivers\\vbcable\\readme.txt", L"drivers\\vbcable\\readme.old"},
        {"rename the package folder", L"drivers\\vbcable", L"drivers\\vbcable.old"},
        {"rename the drivers folder", L"drivers", L"drivers.old"},
    };
    const TestFolder folder;
    const fs::path program = install_held_double(folder);
    const fs::path app = program.parent_path();
    // Tries one attempt; undoes it when it went through. True when it went through.
    const auto attempt = [&app](const auto& a) {
        if (!a.to) {
            const HANDLE file = CreateFileW((app / a.from).c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) return false;
            CloseHandle(file);
            return true;
        }
        if (!move_to(app / a.from, app / a.to)) return false;
        EXPECT_TRUE(move_to(app / a.to, app / a.from)) << "undo " << a.label;
        return true;
    };

    const HoldPoints hold;
    Child run = start_run(program);
    ASSERT_TRUE(hold.all_arrived(1)) << "the run never got past its package check";
    for (const auto& a : attempts) EXPECT_FALSE(attempt(a)) << a.label << ": allowed while the run holds the package";
    SetEvent(hold.release);
    const Child::Output ended = run.finish(120000);
    ASSERT_TRUE(ended.finished);
    for (const auto& a : attempts) EXPECT_TRUE(attempt(a)) << a.label << ": still refused after the run ended";
}

TEST(HeldPackage, TwoRunsAtOnceInstallOneDevice) {
    // Both runs are let through detection at the same moment, many times over: without a lock
    // around search and installation both would install now and then.
    constexpr int TRIALS = 20;  // without the lock, 3 of 12 trials installed two devices
    const std::string unhealthy =
        "TAMSEL_DRIVER_SETUP Existing VB-CABLE device is not healthy; check Device Manager or restart Windows. "
        "No driver was replaced.\n";
    const TestFolder folder;
    const fs::path program = install_held_double(folder);
    for (int trial = 0; trial < TRIALS; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        remove_cable_devices();
        ASSERT_EQ(cable_devices(), 0u);
        const HoldPoints hold;
        Child first = start_run(program);
        Child second = start_run(program);
        ASSERT_TRUE(hold.all_arrived(2));
        SetEvent(hold.release);
        const Child::Output a = first.finish(180000);
        const Child::Output b = second.finish(180000);
        ASSERT_TRUE(a.finished && b.finished);
        EXPECT_EQ(cable_devices(), 1u) << "exactly one device";
        // One installs; the other finds its device (Wine reports it not started: not healthy).
        std::vector<std::pair<DWORD, std::string>> results = {{a.exit_code, a.err}, {b.exit_code, b.err}};
        std::sort(results.begin(), results.end());
        EXPECT_EQ(results[0], (std::pair<DWORD, std::string>{0, ""}));
        EXPECT_EQ(results[1], (std::pair<DWORD, std::string>{1, unhealthy}));
    }
}

TEST(BoundedRead, TerabyteFileFailsAtOnceUnread) {
    const TestFolder folder;
    const fs::path program = install_copy(folder, built_program(L"tamsel_setup_entry_double.exe"));
    const fs::path package = program.parent_path() / L"drivers" / L"vbcable";
    fs::create_directories(package);
    // A sparse terabyte: the size is set, nothing is written.
    const HANDLE file = CreateFileW((package / L"VBCABLE_ControlPanel.exe").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD unused = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    LARGE_INTEGER end{};
    end.QuadPart = 1LL << 40;
    const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(sized) << GetLastError();

    const auto started = std::chrono::steady_clock::now();
    const ProgramRun run = run_program(program, {});
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "terabyte package file: status line after " << seconds << " s\n";
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.err, "TAMSEL_DRIVER_SETUP bundled driver integrity check failed: VBCABLE_ControlPanel.exe\n");
    // Generous: a start under Wine takes a fraction of it; reading the file would take minutes.
    EXPECT_LT(seconds, 20.0) << "the file must not be read";
}

}  // namespace
