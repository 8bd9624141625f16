// The windowless entry seen by a parent process: tamsel_setup_entry_double.exe (the real entry
// with a detection double) and the shipped tamsel_driver_setup.exe are copied into a temporary
// folder and started with pipes for standard output and standard error; the test checks the
// exact bytes of both, the exit code, and that no window appears.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "setup_program_run.hpp"
#include "wine_dll_override_win.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tamsel::setup::test;

fs::path entry_program() { return built_program(L"tamsel_setup_entry_double.exe"); }

TEST(DriverSetupEntry, IsAGuiSubsystemProgram) {
    std::ifstream file(entry_program(), std::ios::binary);
    ASSERT_TRUE(file) << entry_program().string();
    IMAGE_DOS_HEADER dos{};
    file.read(reinterpret_cast<char*>(&dos), sizeof dos);
    ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
    IMAGE_NT_HEADERS64 nt{};
    file.seekg(dos.e_lfanew);
    file.read(reinterpret_cast<char*>(&nt), sizeof nt);
    ASSERT_EQ(nt.Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI) << "windowless: no console of its own";
}

TEST(DriverSetupEntry, StatusLineAndExitCode) {
    const struct {
        const char* label;
        std::vector<std::wstring> arguments;
        bool wrong_first_file;
        const char* err;
    } cases[] = {
        {"empty argument", {L""}, false, "TAMSEL_DRIVER_SETUP driver setup takes no arguments\n"},
        {"an option", {L"--help"}, false, "TAMSEL_DRIVER_SETUP driver setup takes no arguments\n"},
        {"argument rule before the package", {L"x"}, true, "TAMSEL_DRIVER_SETUP driver setup takes no arguments\n"},
        {"no package folder", {}, false, "TAMSEL_DRIVER_SETUP missing bundled driver file VBCABLE_ControlPanel.exe\n"},
        {"altered first file", {}, true,
         "TAMSEL_DRIVER_SETUP bundled driver integrity check failed: VBCABLE_ControlPanel.exe\n"},
    };
    // The same early steps in the test program and in the shipped program as built.
    for (const fs::path& built : {entry_program(), built_program(L"tamsel_driver_setup.exe")}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(built.filename().string() + ": " + c.label);
            const TestFolder folder;
            const fs::path program = install_copy(folder, built);
            if (c.wrong_first_file) folder.write("app/drivers/vbcable/VBCABLE_ControlPanel.exe", "not the vendor's file");
            const ProgramRun run = run_program(program, c.arguments);
            EXPECT_EQ(run.exit_code, 1u);
            EXPECT_EQ(run.err, c.err);
            EXPECT_EQ(run.out, "") << "standard output is never written";
            EXPECT_FALSE(run.window_seen) << "a windowless program";
        }
    }
}

// Memory running out inside the run (the entry's first allocation fails) is a failure like any
// other: the status line and exit code 1, not an exception that ends the process with a crash code.
TEST(DriverSetupEntry, AnEscapingExceptionIsTheStatusLine) {
    const TestFolder folder;
    const fs::path program = install_copy(folder, entry_program());
    ASSERT_TRUE(SetEnvironmentVariableW(L"TAMSEL_TEST_FAIL_FIRST_ALLOCATION", L"1"));
    const ProgramRun run = run_program(program, {});
    SetEnvironmentVariableW(L"TAMSEL_TEST_FAIL_FIRST_ALLOCATION", nullptr);
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.err, "TAMSEL_DRIVER_SETUP internal error: std::bad_alloc\n");
    EXPECT_EQ(run.out, "");
}

// A DLL this Windows lacks (Wine's per-program load order stands in for such a Windows) ends the
// run as the status line of a failed Windows call and exit code 1, for the shipped program as
// built and the entry double alike: shell32.dll is met at the first step (reading the arguments),
// bcrypt.dll at the digest of the first package file.
TEST(DriverSetupEntry, AMissingDllIsTheStatusLine) {
    for (const fs::path& built : {entry_program(), built_program(L"tamsel_driver_setup.exe")}) {
        for (const char* dll : {"shell32", "bcrypt"}) {
            SCOPED_TRACE(built.filename().string() + ": " + dll);
            const TestFolder folder;
            const fs::path program = install_copy(folder, built);
            folder.write("app/drivers/vbcable/VBCABLE_ControlPanel.exe", "a file to digest");
            const tamsel::test_support::WineDllDisabled missing(L"tamsel_driver_setup.exe",
                                                                std::wstring(dll, dll + std::strlen(dll)));
            ASSERT_TRUE(missing.set());
            const ProgramRun run = run_program(program, {});
            EXPECT_EQ(run.err, "TAMSEL_DRIVER_SETUP load " + std::string(dll) + ".dll: Windows error 126\n");
            EXPECT_EQ(run.exit_code, 1u);
            EXPECT_EQ(run.out, "");
        }
    }
}

TEST(DriverSetupEntry, FolderWithNonAsciiName) {
    const TestFolder folder;
    // The own path is taken as UTF-16 and the package folder built from it unchanged. (Wine's
    // CreateProcessW refuses program paths beyond MAX_PATH, so the growing buffer of the
    // own-path query cannot be reached from here.)
    const fs::path program = install_copy(folder, entry_program(), L"\u00c4pp \u2713 \U0001F50A");
    folder.write("\xc3\x84pp \xe2\x9c\x93 \xf0\x9f\x94\x8a/drivers/vbcable/VBCABLE_ControlPanel.exe", "altered");
    const ProgramRun run = run_program(program, {});
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.err, "TAMSEL_DRIVER_SETUP bundled driver integrity check failed: VBCABLE_ControlPanel.exe\n");
    EXPECT_EQ(run.out, "");
}

}  // namespace
