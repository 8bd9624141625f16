#pragma once
// Running a build of tamsel_driver_setup as a parent process meets it: a copy in a folder of
// its own (so the package next to it is whatever the test puts there), standard input on NUL,
// standard output and error in pipes, the exit code, and whether it ever showed a top-level
// window while it ran.
#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../test_folder.hpp"
#include "child_process_win.hpp"

namespace tamsel::setup::test {

struct ProgramRun {
    DWORD exit_code = 0xFFFFFFFF;
    std::string out, err;
    bool window_seen = false;
};

inline BOOL CALLBACK find_window_of(HWND window, LPARAM raw) {
    auto* probe = reinterpret_cast<std::pair<DWORD, bool>*>(raw);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    // Hidden windows that system libraries make for their own messages (COM, the audio stack)
    // are no window of the program's: only one a user could see counts.
    if (owner != probe->first || !IsWindowVisible(window)) return TRUE;
    probe->second = true;
    return FALSE;
}

inline const GUID MEDIA_CLASS = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// Visits the present MEDIA devices whose hardware ids include VBAudioVACWDM.
template <class Visit>
std::size_t for_each_cable_device(Visit visit) {
    std::size_t count = 0;
    HDEVINFO set = SetupDiGetClassDevsW(&MEDIA_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return count;
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &record); ++i) {
        wchar_t ids[2048] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(set, &record, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                               sizeof ids - sizeof(wchar_t), nullptr))
            continue;
        for (const wchar_t* id = ids; *id; id += wcslen(id) + 1) {
            if (_wcsicmp(id, L"VBAudioVACWDM") == 0) {
                ++count;
                visit(set, record);
                break;
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

// Runs the program in its own folder; while it runs, looks every few milliseconds for a
// visible top-level window it owns.
inline ProgramRun run_program(const std::filesystem::path& program, const std::vector<std::wstring>& arguments) {
    using tamsel::test_support::Child;
    ProgramRun run;
    tamsel::test_support::ChildOptions options;
    options.input = tamsel::test_support::ChildInput::null_device;
    options.working_folder = program.parent_path().wstring();
    DWORD error = 0;
    Child child = Child::start(program.wstring(), arguments, &error, options);
    EXPECT_TRUE(child.started()) << "CreateProcessW failed: " << error;
    if (!child.started()) return run;
    std::atomic<bool> done{false}, seen{false};
    std::thread watcher([&] {
        while (!done.load()) {
            std::pair<DWORD, bool> probe{child.pid(), false};
            EnumWindows(&find_window_of, reinterpret_cast<LPARAM>(&probe));
            if (probe.second) seen = true;
            Sleep(5);
        }
    });
    Child::Output output = child.finish(120000);
    done = true;
    watcher.join();
    EXPECT_TRUE(output.finished) << "the program did not end";
    run.exit_code = output.exit_code;
    run.out = std::move(output.out);
    run.err = std::move(output.err);
    run.window_seen = seen.load();
    return run;
}

// A copy of `program` as <subfolder>\tamsel_driver_setup.exe inside `folder`.
inline std::filesystem::path install_copy(const TestFolder& folder, const std::filesystem::path& program,
                                          const std::wstring& subfolder = L"app") {
    const std::filesystem::path app = folder.path() / subfolder;
    std::filesystem::create_directories(app);
    const std::filesystem::path copy = app / L"tamsel_driver_setup.exe";
    EXPECT_TRUE(CopyFileW(program.c_str(), copy.c_str(), FALSE)) << GetLastError();
    return copy;
}

inline std::filesystem::path built_program(const wchar_t* name) {
    return std::filesystem::path(tamsel::test_support::own_folder()) / name;
}

}  // namespace tamsel::setup::test
