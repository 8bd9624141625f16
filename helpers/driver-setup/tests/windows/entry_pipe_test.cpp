// The windowless entry seen by a parent process: tamsel_setup_entry_double.exe (the real entry
// with a detection double) is copied into a temporary folder and started with pipes for
// standard output and standard error; the test checks the exact bytes of both and the exit
// code.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../test_folder.hpp"

namespace {

namespace fs = std::filesystem;
using tamsel::setup::test::TestFolder;

fs::path own_folder() {
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return fs::path(buffer).parent_path();
}

fs::path entry_program() { return own_folder() / L"tamsel_setup_entry_double.exe"; }

struct ChildRun {
    DWORD exit_code = 0xFFFFFFFF;
    std::string out, err;
};

std::string drain(HANDLE pipe) {
    // The child has exited: everything it wrote is in the pipe. Peek first, so a handle some
    // other process may still hold cannot block the read.
    std::string data;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
        std::string part(available, '\0');
        DWORD got = 0;
        if (!ReadFile(pipe, part.data(), available, &got, nullptr) || got == 0) break;
        part.resize(got);
        data += part;
    }
    return data;
}

ChildRun run_program(const fs::path& program, const std::wstring& arguments) {
    ChildRun run;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
    EXPECT_TRUE(CreatePipe(&out_read, &out_write, &inherit, 1 << 16));
    EXPECT_TRUE(CreatePipe(&err_read, &err_write, &inherit, 1 << 16));
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                            nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    std::wstring command = L"\"" + program.wstring() + L"\"" + arguments;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, program.parent_path().c_str(), &startup, &process);
    EXPECT_TRUE(started) << "CreateProcessW failed: " << GetLastError();
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (started) {
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
        GetExitCodeProcess(process.hProcess, &run.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        run.out = drain(out_read);
        run.err = drain(err_read);
    }
    CloseHandle(out_read);
    CloseHandle(err_read);
    return run;
}

// A copy of the entry program in a folder of its own, so the package folder next to it is
// whatever the test puts there.
fs::path install_copy(const TestFolder& folder, const std::wstring& subfolder = L"app") {
    const fs::path app = folder.path() / subfolder;
    fs::create_directories(app);
    const fs::path copy = app / L"tamsel_driver_setup.exe";
    EXPECT_TRUE(CopyFileW(entry_program().c_str(), copy.c_str(), FALSE)) << GetLastError();
    return copy;
}

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
        std::wstring arguments;
        bool wrong_first_file;
        const char* err;
    } cases[] = {
        {"empty argument", L" \"\"", false, "TAMSEL_DRIVER_SETUP driver setup takes no arguments\n"},
        {"an option", L" --help", false, "TAMSEL_DRIVER_SETUP driver setup takes no arguments\n"},
        {"argument rule before the package", L" x", true, "TAMSEL_DRIVER_SETUP driver setup takes no arguments\n"},
        {"no package folder", L"", false, "TAMSEL_DRIVER_SETUP missing bundled driver file VBCABLE_ControlPanel.exe\n"},
        {"altered first file", L"", true,
         "TAMSEL_DRIVER_SETUP bundled driver integrity check failed: VBCABLE_ControlPanel.exe\n"},
    };
    for (const auto& c : cases) {
        const TestFolder folder;
        const fs::path program = install_copy(folder);
        if (c.wrong_first_file) folder.write("app/drivers/vbcable/VBCABLE_ControlPanel.exe", "not the vendor's file");
        const ChildRun run = run_program(program, c.arguments);
        EXPECT_EQ(run.exit_code, 1u) << c.label;
        EXPECT_EQ(run.err, c.err) << c.label;
        EXPECT_EQ(run.out, "") << c.label << ": standard output is never written";
    }
}

TEST(DriverSetupEntry, FolderWithNonAsciiName) {
    const TestFolder folder;
    // The own path is taken as UTF-16 and the package folder built from it unchanged. (Wine's
    // CreateProcessW refuses program paths beyond MAX_PATH, so the growing buffer of the
    // own-path query cannot be reached from here.)
    const fs::path program = install_copy(folder, L"\u00c4pp \u2713 \U0001F50A");
    folder.write("\xc3\x84pp \xe2\x9c\x93 \xf0\x9f\x94\x8a/drivers/vbcable/VBCABLE_ControlPanel.exe", "altered");
    const ChildRun run = run_program(program, L"");
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.err, "TAMSEL_DRIVER_SETUP bundled driver integrity check failed: VBCABLE_ControlPanel.exe\n");
    EXPECT_EQ(run.out, "");
}

}  // namespace
