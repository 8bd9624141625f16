// A function this Windows lacks, met through the delay-load helper of a program linked like the
// shipped ones (tamsel_delay_load_probe.exe): the failure hook ends the program through its own
// report, on the thread that met it, instead of an unhandled exception with a crash code.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "child_process_win.hpp"

namespace {

using tamsel::test_support::Child;

TEST(DelayLoadFailure, AnAbsentFunctionIsTheProgramsFailureLine) {
    const std::wstring probe = tamsel::test_support::own_folder() + L"tamsel_delay_load_probe.exe";
    // GetProcAddress's error for a name the DLL does not export: ERROR_PROC_NOT_FOUND (127).
    for (const wchar_t* mode : {L"main", L"thread"}) {
        SCOPED_TRACE(std::string(mode, mode + wcslen(mode)));
        DWORD error = 0;
        Child child = Child::start(probe, {mode}, &error);
        ASSERT_TRUE(child.started()) << "CreateProcessW failed: " << error;
        const Child::Output output = child.finish();
        ASSERT_TRUE(output.finished);
        EXPECT_EQ(output.err, "PROBE find TamselTestAbsentFunction in version.dll: Windows error 127\n");
        EXPECT_EQ(output.exit_code, 1u);
        EXPECT_EQ(output.out, "");
    }
}

}  // namespace
