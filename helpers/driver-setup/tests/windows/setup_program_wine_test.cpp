// tamsel_driver_setup's whole flow as a parent process meets it: started with pipes on its
// standard handles, its exact standard error, an empty standard output, its exit code, and no
// window. The test build of the program (the same code with the manifest of the generated test
// package) runs with real cubeb (WASAPI through Wine's PulseAudio driver, a private daemon from
// private-pulseaudio) and the real SetupAPI installer in the fresh prefix of this test. The
// shipped program's early failures are checked beside the entry's (entry_pipe_test.cpp).
#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "setup_program_run.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tamsel::setup::test;

constexpr const char* START_LINE = "TAMSEL_AUDIO backend=wasapi binding=0.38.0\n";

// Instance ids of the present MEDIA devices whose hardware ids include VBAudioVACWDM.
std::vector<std::wstring> cable_devices() {
    static const GUID media = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    std::vector<std::wstring> found;
    HDEVINFO set = SetupDiGetClassDevsW(&media, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &record); ++i) {
        wchar_t ids[2048] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(set, &record, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                               sizeof ids - sizeof(wchar_t), nullptr))
            continue;
        for (const wchar_t* id = ids; *id; id += wcslen(id) + 1) {
            if (_wcsicmp(id, L"VBAudioVACWDM") == 0) {
                wchar_t instance[512] = {};
                SetupDiGetDeviceInstanceIdW(set, &record, instance, 512, nullptr);
                found.emplace_back(instance);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

TEST(DriverSetupFlow, InstallsOnceThenFindsTheDevice) {
    ASSERT_TRUE(cable_devices().empty()) << "the test needs a fresh prefix";
    const TestFolder folder;
    const fs::path program = install_copy(folder, built_program(L"tamsel_driver_setup_test_manifest.exe"));
    fs::create_directories(folder.path() / L"app/drivers/vbcable");
    for (const wchar_t* name : {L"vbMmeCable64_win10.inf", L"readme.txt"}) {
        const fs::path from = built_program(L"test-driver-package") / name;
        ASSERT_TRUE(CopyFileW(from.c_str(), (folder.path() / L"app/drivers/vbcable" / name).c_str(), FALSE))
            << GetLastError();
    }

    // First run: the package passes, the controller starts (its line first on standard error),
    // no cable is detected, and the test device is installed. Wine asks for no restart.
    const ProgramRun first = run_program(program, {});
    EXPECT_EQ(first.err, START_LINE);
    EXPECT_EQ(first.exit_code, 0u);
    EXPECT_EQ(first.out, "");
    EXPECT_FALSE(first.window_seen);
    const std::vector<std::wstring> installed = cable_devices();
    ASSERT_EQ(installed.size(), 1u) << "one cable device after the first run";

    // Second run: the configuration manager of Wine lists no devices, so detection reports the
    // cable absent; the installer's own look through SetupAPI then finds the device. Wine's
    // CM_Get_DevNode_Status gives it no DN_STARTED, which counts as not healthy: the program
    // refuses to touch it and installs nothing (on Windows a started device passes).
    const ProgramRun second = run_program(program, {});
    EXPECT_EQ(second.err, std::string(START_LINE) +
                              "TAMSEL_DRIVER_SETUP Existing VB-CABLE device is not healthy; check Device "
                              "Manager or restart Windows. No driver was replaced.\n");
    EXPECT_EQ(second.exit_code, 1u);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(cable_devices(), installed) << "an existing device is never replaced";
}

}  // namespace
