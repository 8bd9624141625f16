// What Windows installs is the package that was checked. Runs of tamsel_setup_held_double.exe
// (the real entry and flow with the test package's manifest, the stand-in installation lock and
// a detection double) are stopped between their package check and their installation (at the
// detection) or after their staging (at the lock, which the test holds): a folder link above
// the package repointed to another package at either point, the administrators-only staging
// folder and its removal on every way out (a killed run's by the next run, never a running
// run's), two runs at once, and a terabyte package file. The runs install devices, so this
// program runs in a fresh prefix of its own.
#include <windows.h>

#include <setupapi.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "package_files.hpp"
#include "setup_program_run.hpp"
#include "tamsel/audio/windows/unique_handle.hpp"
#include "test_installation_lock_win.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tamsel::setup::test;
using tamsel::test_support::Child;
using tamsel::win::UniqueHandle;

std::size_t cable_devices() {
    return for_each_cable_device([](HDEVINFO, SP_DEVINFO_DATA&) {});
}

void remove_cable_devices() {
    for_each_cable_device([](HDEVINFO set, SP_DEVINFO_DATA& record) {
        EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &record)) << GetLastError();
    });
}

// The hold points of the runs: a semaphore each run releases once it has checked the package
// (the detection double), one each run releases once it has staged the package and is about to
// wait for the installation lock (the stand-in lock), and the event that lets every run waiting
// in its detection go on.
struct HoldPoints {
    std::wstring base = L"tamsel-hold-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle arrived{CreateSemaphoreW(nullptr, 0, 16, (base + L"-arrived").c_str())};
    UniqueHandle locking{CreateSemaphoreW(nullptr, 0, 16, (base + L"-locking").c_str())};
    UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, (base + L"-release").c_str())};
    // `stop_at_detection` false: the runs go through their detection at once.
    explicit HoldPoints(bool stop_at_detection = true) {
        SetEnvironmentVariableW(L"TAMSEL_TEST_HOLD", base.c_str());
        if (!stop_at_detection) SetEvent(release.get());
    }
    HoldPoints(const HoldPoints&) = delete;
    HoldPoints& operator=(const HoldPoints&) = delete;
    ~HoldPoints() {
        SetEvent(release.get());
        SetEnvironmentVariableW(L"TAMSEL_TEST_HOLD", nullptr);
    }
    static bool passed(const UniqueHandle& semaphore, int runs) {
        for (int i = 0; i < runs; ++i) {
            if (WaitForSingleObject(semaphore.get(), 60000) != WAIT_OBJECT_0) return false;
        }
        return true;
    }
    bool all_arrived(int runs) const { return passed(arrived, runs); }
    bool all_locking(int runs) const { return passed(locking, runs); }
};

// The test holding the stand-in installation lock, so that runs stop at it after their staging.
class HeldLock {
public:
    HeldLock() : mutex_(CreateMutexW(nullptr, TRUE, tamsel::setup::win::TEST_LOCK_NAME)) {}
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    ~HeldLock() { let_go(); }
    void let_go() {
        if (mutex_) ReleaseMutex(mutex_.get());
        mutex_.reset();
    }

private:
    UniqueHandle mutex_;
};

// The staging folders in the system's %windir%\Temp.
fs::path staging_root() {
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return fs::path(windows) / L"Temp";
}

std::vector<fs::path> staging_folders() {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(staging_root())) {
        if (entry.is_directory() && tamsel::setup::is_staging_folder_name(entry.path().filename().string())) {
            found.push_back(entry.path());
        }
    }
    return found;
}

// Waits at most 30 s until no process holds `folder` against deletion. Wine closes the handles
// of a killed process a moment after the process counts as ended.
bool hold_released(const fs::path& folder) {
    for (int waited = 0; waited < 3000; ++waited) {
        const tamsel::win::UniqueFileHandle probe(CreateFileW(folder.c_str(), DELETE,
                                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (probe) return true;
        Sleep(10);
    }
    return false;
}

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

TEST(TwoRuns, AtOnceInstallOneDevice) {
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
        SetEvent(hold.release.get());
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

// --- a folder link repointed between the check and the installation -------------------------

// The path Wine gives a Windows path on the Linux side.
std::string unix_path(const fs::path& path) {
    using Convert = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) return {};
    char* text = convert(path.c_str());
    if (!text) return {};
    std::string result(text);
    HeapFree(GetProcessHeap(), 0, text);
    return result;
}

// Runs `script` with the Linux shell. Wine starts a Linux program given by its path on drive Z:,
// but its process handle cannot be waited for: the caller waits for the script's effect.
bool run_linux_shell(const std::string& script) {
    std::wstring line =
        L"/bin/sh -c " + tamsel::test_support::quote_argument(std::wstring(script.begin(), script.end()));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return false;
    }
    const UniqueHandle thread(info.hThread), process(info.hProcess);
    return true;
}

// Waits at most 30 s for `path` to exist (or, with `exists` false, to be gone).
bool wait_for_path(const fs::path& path, bool exists = true) {
    for (int waited = 0; waited < 3000; ++waited) {
        if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == exists) return true;
        Sleep(10);
    }
    return false;
}

// Points the Linux symbolic link `link` (standing in for a junction, which Wine cannot make) at
// `target` in one rename, as a user-level process repoints a junction, and waits until `marker`
// (a path below the link that only the new target has) is seen through it.
bool point_link(const fs::path& link, const fs::path& target, const fs::path& marker) {
    const std::string from = unix_path(target), at = unix_path(link);
    if (from.empty() || at.empty()) return false;
    return run_linux_shell("ln -sfn '" + from + "' '" + at + ".new' && mv -T '" + at + ".new' '" + at + "'") &&
           wait_for_path(link / marker);
}

std::string file_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The INF files in the prefix's INF store, by name. Windows copies an installed INF there as
// oem{n}.inf; Wine 8 keeps its own name.
std::map<std::wstring, std::string> inf_store() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const fs::path store = fs::path(windows) / L"inf";
    std::map<std::wstring, std::string> found;
    WIN32_FIND_DATAW entry{};
    const HANDLE search = FindFirstFileW((store / L"*.inf").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        found[entry.cFileName] = file_bytes(store / entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

// app -> good (the checked package, with the held double) and, ready to be pointed at, evil:
// the same package with another INF of the same class and hardware identifier.
struct LinkedInstall {
    TestFolder folder;
    fs::path app = folder.path() / L"app";
    fs::path good = folder.path() / L"good";
    fs::path evil = folder.path() / L"evil";
    std::string good_inf, evil_inf;

    LinkedInstall() {
        const fs::path program = install_copy(folder, built_program(L"tamsel_setup_held_double.exe"), L"good");
        for (const fs::path& root : {good, evil}) fs::create_directories(root / L"drivers" / L"vbcable");
        const fs::path built_package = built_program(L"test-driver-package");
        for (const fs::path& root : {good, evil}) {
            EXPECT_TRUE(CopyFileW((built_package / L"readme.txt").c_str(),
                                  (root / L"drivers\\vbcable\\readme.txt").c_str(), FALSE));
        }
        good_inf = file_bytes(built_package / L"vbMmeCable64_win10.inf");
        evil_inf = good_inf;
        const std::string device = "Tamsel test cable";
        evil_inf.replace(evil_inf.find(device), device.size(), "Tamsel swapped cable");
        std::ofstream(good / L"drivers\\vbcable\\vbMmeCable64_win10.inf", std::ios::binary) << good_inf;
        std::ofstream(evil / L"drivers\\vbcable\\vbMmeCable64_win10.inf", std::ios::binary) << evil_inf;
        std::ofstream(evil / L"swapped.txt") << "the package a user-level process put in place";
        EXPECT_TRUE(point_link(app, good, L"tamsel_driver_setup.exe")) << "the link to the checked package";
    }
    LinkedInstall(const LinkedInstall&) = delete;
    LinkedInstall& operator=(const LinkedInstall&) = delete;
    // The link goes first: through it, the folder's removal would take the target for a folder.
    ~LinkedInstall() {
        if (run_linux_shell("rm -f '" + unix_path(app) + "'")) wait_for_path(app, false);
    }
    fs::path program() const { return app / L"tamsel_driver_setup.exe"; }
};

// Which package an INF of the store came from, for readable failures.
std::string which(const std::string& inf, const LinkedInstall& install) {
    if (inf == install.good_inf) return "the checked INF";
    if (inf == install.evil_inf) return "the swapped-in INF";
    return "another INF";
}

// The INFs of the store that are new or changed since `before`, by where they came from.
std::vector<std::string> installed_infs(const std::map<std::wstring, std::string>& before,
                                        const LinkedInstall& install) {
    std::vector<std::string> installed;
    for (const auto& [name, bytes] : inf_store()) {
        const auto was = before.find(name);
        if (was == before.end() || was->second != bytes) installed.push_back(which(bytes, install));
    }
    return installed;
}

// The store as it is before a run, without the INFs earlier tests installed: Wine keeps an
// installed INF's name, so installing the same INF again would change nothing to see.
std::map<std::wstring, std::string> store_without_test_infs(const LinkedInstall& install) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    for (const auto& [name, bytes] : inf_store()) {
        if (which(bytes, install) == "another INF") continue;
        const fs::path inf = fs::path(windows) / L"inf" / name;
        DeleteFileW(inf.c_str());
        DeleteFileW(fs::path(inf).replace_extension(L".pnf").c_str());
    }
    return inf_store();
}

TEST(LinkedFolder, RepointedBetweenCheckAndInstallationTheRunRefuses) {
    remove_cable_devices();
    const LinkedInstall install;
    const auto store_before = store_without_test_infs(install);
    const HoldPoints hold;
    Child run = start_run(install.program());
    ASSERT_TRUE(hold.all_arrived(1)) << "the run never got past its package check";
    ASSERT_TRUE(point_link(install.app, install.evil, L"swapped.txt")) << "the link could not be repointed";
    SetEvent(hold.release.get());
    const Child::Output ended = run.finish(120000);
    ASSERT_TRUE(ended.finished);

    // The staging checks the package once more as it copies it: the swapped-in INF fails.
    EXPECT_EQ(installed_infs(store_before, install), std::vector<std::string>{}) << "nothing reaches the INF store";
    EXPECT_EQ(ended.exit_code, 1u);
    EXPECT_EQ(ended.err, "TAMSEL_DRIVER_SETUP bundled driver integrity check failed: vbMmeCable64_win10.inf\n");
    EXPECT_EQ(cable_devices(), 0u);
    EXPECT_TRUE(staging_folders().empty());
}

TEST(LinkedFolder, RepointedAfterStagingTheCheckedPackageIsInstalled) {
    remove_cable_devices();
    const LinkedInstall install;
    const auto store_before = store_without_test_infs(install);
    HeldLock lock;
    const HoldPoints hold(false);
    Child run = start_run(install.program());
    ASSERT_TRUE(hold.all_locking(1)) << "the run never reached the installation lock";
    ASSERT_TRUE(point_link(install.app, install.evil, L"swapped.txt")) << "the link could not be repointed";
    lock.let_go();
    const Child::Output ended = run.finish(120000);
    ASSERT_TRUE(ended.finished);

    EXPECT_EQ(installed_infs(store_before, install), std::vector<std::string>{"the checked INF"});
    EXPECT_EQ(ended.exit_code, 0u) << ended.err;
    EXPECT_EQ(cable_devices(), 1u);
    EXPECT_TRUE(staging_folders().empty());
}

// The held double in a prefix without cable devices, and the test holding the installation lock:
// every run started stops at the lock once it has staged its package.
class RunsStoppedAtTheLock : public ::testing::Test {
protected:
    void SetUp() override { remove_cable_devices(); }
    Child start_to_the_lock() {
        Child run = start_run(program_);
        EXPECT_TRUE(hold_.all_locking(1)) << "the run never reached the installation lock";
        return run;
    }

    const TestFolder folder_;
    const fs::path program_ = install_held_double(folder_);
    HeldLock lock_;
    const HoldPoints hold_{false};
};

TEST_F(RunsStoppedAtTheLock, FolderOfTheRunHoldsTheCheckedFilesRemovedAfterTheRun) {
    Child run = start_to_the_lock();
    const std::vector<fs::path> staged = staging_folders();
    ASSERT_EQ(staged.size(), 1u) << "one folder for the run";
    // Its DACL cannot be seen here: Wine 8 keeps no security descriptor for files (it answers
    // one made from the Linux mode). tamsel_setup_shipped_program_check finds the protected
    // SYSTEM-and-Administrators DACL the program gives the folder.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(staged[0])) {
        const std::string name = entry.path().filename().string();
        names.push_back(name);
        EXPECT_EQ(file_bytes(entry.path()), file_bytes(built_program(L"test-driver-package") / name)) << name;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"readme.txt", "vbMmeCable64_win10.inf"}));

    lock_.let_go();
    const Child::Output ended = run.finish(120000);
    ASSERT_TRUE(ended.finished);
    EXPECT_EQ(ended.exit_code, 0u) << ended.err;
    EXPECT_FALSE(fs::exists(staged[0])) << "removed when the run ends";
}

TEST_F(RunsStoppedAtTheLock, FolderLeftByAKilledRunRemovedByTheNextNeverWhileInUse) {
    Child killed = start_to_the_lock();
    const std::vector<fs::path> left = staging_folders();
    ASSERT_EQ(left.size(), 1u);
    TerminateProcess(killed.process(), 1);
    killed.finish(60000);
    EXPECT_TRUE(fs::exists(left[0])) << "a killed run removes nothing";
    ASSERT_TRUE(hold_released(left[0])) << "the killed run still holds its folder";

    Child next = start_to_the_lock();
    const std::vector<fs::path> after_next = staging_folders();
    EXPECT_FALSE(fs::exists(left[0])) << "the next run removed the folder the killed run left";
    ASSERT_EQ(after_next.size(), 1u) << "the next run's own";

    Child third = start_to_the_lock();
    EXPECT_TRUE(fs::exists(after_next[0] / L"vbMmeCable64_win10.inf"))
        << "a folder a running run holds is never touched";
    EXPECT_EQ(staging_folders().size(), 2u);

    lock_.let_go();
    EXPECT_TRUE(next.finish(120000).finished);
    EXPECT_TRUE(third.finish(120000).finished);
    EXPECT_TRUE(staging_folders().empty()) << "both removed their own";
}

TEST(BoundedRead, TerabyteFileFailsAtOnceUnread) {
    const TestFolder folder;
    const fs::path program = install_copy(folder, built_program(L"tamsel_setup_entry_double.exe"));
    const fs::path package = program.parent_path() / L"drivers" / L"vbcable";
    fs::create_directories(package);
    // A sparse terabyte: the size is set, nothing is written.
    bool sized = false;
    {
        const tamsel::win::UniqueFileHandle file(CreateFileW((package / L"VBCABLE_ControlPanel.exe").c_str(),
                                                             GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file) << GetLastError();
        DWORD unused = 0;
        DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
        LARGE_INTEGER end{};
        end.QuadPart = 1LL << 40;
        sized = SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
    }
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
