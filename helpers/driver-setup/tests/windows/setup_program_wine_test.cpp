// tamsel_driver_setup's whole flow as a parent process meets it: started with pipes on its
// standard handles, its exact standard error, an empty standard output, its exit code, and no
// window. The test build of the program (the same code with the manifest of the generated test
// package) runs with real cubeb (WASAPI through Wine's PulseAudio driver, a private daemon from
// private-pulseaudio) and the real SetupAPI installer in the fresh prefix of this test. The
// shipped program's early failures are checked beside the entry's (entry_pipe_test.cpp).
//
// The program runs elevated from a folder its user may be able to write, so the first run
// happens among DLLs planted beside it: a copy of a marker DLL (marker_dll.c) under the name of
// every DLL it imports or may load that is not a KnownDLL, with Wine told to prefer such copies
// (CTest sets WINEDLLOVERRIDES=...=n,b for this test), and an external
// tamsel_driver_setup.exe.manifest that sends the audio device enumerator's COM class (which
// cubeb creates) to another copy. None of them may be loaded.
#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "setup_program_run.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tamsel::setup::test;

constexpr const char* START_LINE = "TAMSEL_AUDIO backend=wasapi binding=0.38.0\n";

// Instance ids of the present MEDIA devices whose hardware ids include VBAudioVACWDM.
std::vector<std::wstring> cable_devices() {
    std::vector<std::wstring> found;
    for_each_cable_device([&](HDEVINFO set, SP_DEVINFO_DATA& record) {
        wchar_t instance[512] = {};
        SetupDiGetDeviceInstanceIdW(set, &record, instance, 512, nullptr);
        found.emplace_back(instance);
    });
    return found;
}

// DLL names a user could plant beside the program: every DLL the program imports or may load
// that is not a KnownDLL. The x64 program imports none of them, nor any Wine DLL that would
// import one, at its start: it delay-loads them after SetDefaultDllDirectories, which Wine
// honours. The ARM64 program imports some directly and keeps them in System32 through its load
// configuration's DependentLoadFlags, which Wine ignores (and Wine's builtin DLLs import more of
// these names than Windows' do); there only the static check shows that protection
// (check-windows-binary --system32-only, test tamsel_binary_driver_setup), and only the external
// manifest is planted.
constexpr const wchar_t* PLANTED_DLLS[] = {L"newdev.dll", L"bcrypt.dll",  L"avrt.dll",    L"winmm.dll",   L"ksuser.dll",
                                           L"cfgmgr32.dll", L"version.dll", L"propsys.dll", L"mmdevapi.dll"};
#if defined(__aarch64__) || defined(_M_ARM64)
constexpr bool PLANT_DLLS = false;
#else
constexpr bool PLANT_DLLS = true;
#endif
constexpr const wchar_t* COM_MARKER = L"tamsel_com_marker.dll";
// MMDeviceEnumerator, served from the program's folder if the file were honoured.
constexpr const char* EXTERNAL_MANIFEST = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <file name="tamsel_com_marker.dll">
    <comClass clsid="{BCDE0395-E52F-467C-8E3D-C4579291692E}" threadingModel="Both"/>
  </file>
</assembly>
)";

// The copies beside `program`; gives the marker files that must never appear.
std::vector<fs::path> plant_beside(const fs::path& program) {
    const fs::path marker_dll = built_program(L"..\\test-marker-dll\\tamsel_marker.dll");
    const fs::path app = program.parent_path();
    std::vector<fs::path> markers;
    std::vector<std::wstring> names{COM_MARKER};
    if (PLANT_DLLS) names.insert(names.end(), std::begin(PLANTED_DLLS), std::end(PLANTED_DLLS));
    for (const std::wstring& name : names) {
        EXPECT_TRUE(CopyFileW(marker_dll.c_str(), (app / name).c_str(), FALSE)) << GetLastError();
        markers.push_back(app / (name + L".loaded"));
    }
    std::ofstream(app / L"tamsel_driver_setup.exe.manifest", std::ios::binary) << EXTERNAL_MANIFEST;
    return markers;
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

    wchar_t overrides[1024] = {};
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 1024);
    ASSERT_NE(std::wstring(overrides).find(L"version"), std::wstring::npos)
        << "CTest sets WINEDLLOVERRIDES so that Wine prefers the planted copies";
    const std::vector<fs::path> markers = plant_beside(program);

    // First run: the package passes, the controller starts (its line first on standard error),
    // no cable is detected, and the test device is installed. Wine asks for no restart. Nothing
    // planted beside the program was loaded.
    const ProgramRun first = run_program(program, {});
    for (const fs::path& marker : markers) EXPECT_FALSE(fs::exists(marker)) << marker.string();
    EXPECT_EQ(first.err, START_LINE);
    EXPECT_EQ(first.exit_code, 0u);
    EXPECT_EQ(first.out, "");
    EXPECT_FALSE(first.window_seen);
    const std::vector<std::wstring> installed = cable_devices();
    ASSERT_EQ(installed.size(), 1u) << "one cable device after the first run";

    // A planted copy does leave its marker once loaded: this test program, which never
    // restricted its DLL search, loads one from the program's folder.
    SetDllDirectoryW(program.parent_path().c_str());
    HMODULE control = LoadLibraryW(COM_MARKER);
    SetDllDirectoryW(nullptr);
    EXPECT_TRUE(fs::exists(program.parent_path() / (std::wstring(COM_MARKER) + L".loaded")))
        << "the marker DLL leaves no marker";
    if (control) FreeLibrary(control);

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
