// The Windows process API and validate_target against real processes. This test program plays
// the translator: it starts tamsel_validate_probe.exe (the host's entry with a capture mode that
// stops after validate_target) as its child, or further down, and reads the outcome.
#include <windows.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "child_process_win.hpp"
#include "failing_allocation.hpp"
#include "open_handles_win.hpp"
#include "process_api_win.hpp"
#include "process_model.hpp"
#include "system_error_win.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::host {
namespace {

using test_support::Child;

std::wstring probe_path() { return test_support::own_folder() + L"tamsel_validate_probe.exe"; }

std::string own_exe() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return wide_to_utf8(path);
}

std::wstring wide(const std::string& text) { return utf8_to_wide(text); }
std::wstring wide_number(std::uint64_t value) { return std::to_wstring(value); }

std::string error_event(const std::string& message) {
    return "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":\"" + message + "\"}\n";
}

// Wine's process creation now and then fails with ERROR_INTERNAL_ERROR (seen once in a full
// test run); a real failure repeats.
Child start_probe(const std::vector<std::wstring>& args, DWORD& error) {
    Child child = Child::start(probe_path(), args, &error);
    for (int attempt = 1; !child.started() && error == ERROR_INTERNAL_ERROR && attempt < 3; ++attempt) {
        child = Child::start(probe_path(), args, &error);
    }
    return child;
}

Child::Output run_probe(const std::vector<std::wstring>& args) {
    DWORD error = 0;
    Child child = start_probe(args, error);
    EXPECT_TRUE(child.started()) << "starting the probe failed: " << error;
    if (!child.started()) return {};
    Child::Output output = child.finish();
    EXPECT_TRUE(output.finished);
    return output;
}

Child start_sleeper() {
    DWORD error = 0;
    Child child = start_probe({L"--sleep"}, error);
    EXPECT_TRUE(child.started()) << "starting the sleeper failed: " << error;
    return child;
}

TEST(WindowsProcessApi, IdentityOfThisProcess) {
    win::WindowsProcessApi api;
    Result<ProcessIdentity> identity = api.query_process_identity(GetCurrentProcessId());
    ASSERT_TRUE(identity) << identity.error();
    EXPECT_TRUE(ascii_iequal(identity->exe, own_exe())) << identity->exe << " vs " << own_exe();
    EXPECT_EQ(identity->start, test_support::creation_time(GetCurrentProcess()));
    ASSERT_TRUE(identity->handle);
    EXPECT_TRUE(identity->handle->is_running());

    const HANDLE native = win::native_process_handle(*identity->handle);
    ASSERT_NE(native, nullptr);
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(native, &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << "identity handles are not inheritable";
}

TEST(WindowsProcessApi, IdentityOfAChildAndItsExit) {
    Child sleeper = start_sleeper();
    ASSERT_TRUE(sleeper.started());
    win::WindowsProcessApi api;
    Result<ProcessIdentity> identity = api.query_process_identity(sleeper.pid());
    ASSERT_TRUE(identity) << identity.error();
    EXPECT_TRUE(ascii_iequal(identity->exe, wide_to_utf8(probe_path()))) << identity->exe;
    EXPECT_EQ(identity->start, test_support::creation_time(sleeper.process()));
    EXPECT_TRUE(identity->handle->is_running());

    ASSERT_TRUE(TerminateProcess(sleeper.process(), 7));
    ASSERT_EQ(WaitForSingleObject(sleeper.process(), 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(identity->handle->is_running()) << "the handle still refers to the exited process";
}

TEST(WindowsProcessApi, HandleIsClosedWithTheIdentity) {
    win::WindowsProcessApi api;
    HANDLE native = nullptr;
    {
        Result<ProcessIdentity> identity = api.query_process_identity(GetCurrentProcessId());
        ASSERT_TRUE(identity) << identity.error();
        native = win::native_process_handle(*identity->handle);
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(native, &flags));
}

TEST(WindowsProcessApi, UnknownPidFailsWithOpenProcessContext) {
    win::WindowsProcessApi api;
    // Process ids are multiples of 4; this one is never in use.
    const Result<ProcessIdentity> identity = api.query_process_identity(0xFFFFFFFDu);
    ASSERT_FALSE(identity);
    EXPECT_EQ(identity.error().rfind("open process: ", 0), 0u) << identity.error();
    EXPECT_NE(identity.error().find("(0x8007"), std::string::npos) << identity.error();
    EXPECT_EQ(identity.error().back(), ')');
}

TEST(WindowsProcessApi, TableHoldsChildrenUnderTheirParent) {
    Child sleeper = start_sleeper();
    ASSERT_TRUE(sleeper.started());
    win::WindowsProcessApi api;
    const Result<ProcessTable> table = api.take_process_table();
    ASSERT_TRUE(table) << table.error();
    ASSERT_EQ(table->count(sleeper.pid()), 1u);
    EXPECT_EQ(table->at(sleeper.pid()), GetCurrentProcessId());
    EXPECT_EQ(table->count(GetCurrentProcessId()), 1u);
    const Result<bool> ancestor = is_ancestor_or_self(*table, GetCurrentProcessId(), sleeper.pid());
    ASSERT_TRUE(ancestor) << ancestor.error();
    EXPECT_TRUE(*ancestor);
    const Result<bool> reverse = is_ancestor_or_self(*table, sleeper.pid(), GetCurrentProcessId());
    ASSERT_TRUE(reverse) << reverse.error();
    EXPECT_FALSE(*reverse);
    EXPECT_EQ(api.current_process_id(), GetCurrentProcessId());
}

TEST(ValidateTargetOnWindows, SystemTargetFromTheRealParent) {
    const Child::Output output = run_probe({L"--target", L"system", L"--exclude-pids", wide_number(GetCurrentProcessId())});
    EXPECT_EQ(output.exit_code, 0u) << output.err;
    EXPECT_EQ(output.err, "");
    ASSERT_EQ(output.out.rfind("validated translator=", 0), 0u) << output.out;
    EXPECT_TRUE(ascii_iequal(output.out, "validated translator=" + own_exe() + " target=-")) << output.out;
}

TEST(ValidateTargetOnWindows, ParentRule) {
    // Started by a grandparent: this process is the translator, but a relay sits between.
    const Child::Output grandchild = run_probe(
        {L"--relay", L"--target", L"system", L"--exclude-pids", wide_number(GetCurrentProcessId())});
    EXPECT_EQ(grandchild.exit_code, 1u);
    EXPECT_EQ(grandchild.out, "");
    EXPECT_EQ(grandchild.err, error_event("excluded PID must be the helper's parent application"));

    // Another live process named as the translator.
    Child sleeper = start_sleeper();
    ASSERT_TRUE(sleeper.started());
    const Child::Output other =
        run_probe({L"--target", L"system", L"--exclude-pids", wide_number(sleeper.pid())});
    EXPECT_EQ(other.exit_code, 1u);
    EXPECT_EQ(other.err, error_event("excluded PID must be the helper's parent application"));
}

TEST(ValidateTargetOnWindows, TreeRule) {
    const std::wstring translator = wide_number(GetCurrentProcessId());
    // The translator itself as the target, with its true identity.
    const Child::Output self = run_probe({L"--target", L"pid:" + translator, L"--exclude-pids", translator,
                                          L"--expected-exe", wide(own_exe()), L"--expected-start",
                                          wide_number(test_support::creation_time(GetCurrentProcess()))});
    EXPECT_EQ(self.exit_code, 1u);
    EXPECT_EQ(self.err, error_event("selected process tree includes the translator or belongs to it"));

    // A child of the translator.
    Child sleeper = start_sleeper();
    ASSERT_TRUE(sleeper.started());
    const Child::Output child = run_probe({L"--target", L"pid:" + wide_number(sleeper.pid()), L"--exclude-pids",
                                           translator, L"--expected-exe", probe_path(), L"--expected-start",
                                           wide_number(test_support::creation_time(sleeper.process()))});
    EXPECT_EQ(child.exit_code, 1u);
    EXPECT_EQ(child.err, error_event("selected process tree includes the translator or belongs to it"));
}

// A process outside the translator's tree: started by a relay that ends at once, so its
// parent is gone.
class UnrelatedProcess : public ::testing::Test {
protected:
    void SetUp() override {
        const Child::Output output = run_probe({L"--orphan"});
        ASSERT_TRUE(output.finished);
        ASSERT_EQ(output.exit_code, 0u);
        ASSERT_FALSE(output.out.empty()) << "the relay prints the pid of the process it started";
        pid_ = static_cast<DWORD>(std::stoul(output.out));
        process_ = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid_);
        ASSERT_NE(process_, nullptr);
        wchar_t image[32768];
        DWORD units = 32768;
        ASSERT_TRUE(QueryFullProcessImageNameW(process_, 0, image, &units));
        exe_ = wide_to_utf8(std::wstring_view(image, units));
        start_ = test_support::creation_time(process_);
    }
    void TearDown() override {
        if (process_) {
            TerminateProcess(process_, 0);
            WaitForSingleObject(process_, 10000);
            CloseHandle(process_);
        }
    }
    Child::Output validate(const std::string& exe, std::uint64_t start) {
        return run_probe({L"--target", L"pid:" + wide_number(pid_), L"--exclude-pids", wide_number(GetCurrentProcessId()),
                          L"--expected-exe", wide(exe), L"--expected-start", wide_number(start)});
    }

    DWORD pid_ = 0;
    HANDLE process_ = nullptr;
    std::string exe_;
    std::uint64_t start_ = 0;
};

TEST_F(UnrelatedProcess, MatchingIdentityIsValid) {
    const Child::Output output = validate(exe_, start_);
    EXPECT_EQ(output.exit_code, 0u) << output.err;
    EXPECT_TRUE(ascii_iequal(output.out, "validated translator=" + own_exe() + " target=" + exe_)) << output.out;
}

TEST_F(UnrelatedProcess, AsciiCaseOfTheExeDoesNotMatter) {
    std::string upper = exe_;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    const Child::Output output = validate(upper, start_);
    EXPECT_EQ(output.exit_code, 0u) << output.err;
}

TEST_F(UnrelatedProcess, IdentityRule) {
    const std::string changed = error_event("selected process identity changed; refresh the process list");
    const Child::Output later = validate(exe_, start_ + 1);
    EXPECT_EQ(later.exit_code, 1u);
    EXPECT_EQ(later.out, "");
    EXPECT_EQ(later.err, changed);

    const Child::Output other_exe = validate(exe_ + "x", start_);
    EXPECT_EQ(other_exe.exit_code, 1u);
    EXPECT_EQ(other_exe.err, changed);
}

TEST(SystemErrorText, MessagesAndCodes) {
    const std::string denied = win::system_error_text(static_cast<HRESULT>(0x80070005u));
    EXPECT_GT(denied.size(), std::string(" (0x80070005)").size()) << denied;
    EXPECT_EQ(denied.substr(denied.size() - 13), " (0x80070005)") << denied;
    EXPECT_EQ(denied.find_first_of("\r\n"), std::string::npos) << "trailing line breaks are cut";

    // A code no message table knows: the code alone.
    EXPECT_EQ(win::system_error_text(static_cast<HRESULT>(0xA00BCDEFu)), "0xA00BCDEF");
}

TEST(SystemErrorText, LastErrorMapping) {
    // The expected text first: looking it up changes the thread's last error.
    const std::string denied = "open process: " + win::system_error_text(static_cast<HRESULT>(0x80070005u));
    SetLastError(ERROR_ACCESS_DENIED);
    const std::string got = win::context_error_from_last_error("open process");
    EXPECT_EQ(got, denied);
    SetLastError(0);
    const std::string none = win::context_error_from_last_error("first process");
    EXPECT_EQ(none.rfind("first process: ", 0), 0u);
    // The system's text for "no error", then the code; or the code alone.
    const bool with_message = none.size() > 28 && none.substr(none.size() - 13) == " (0x00000000)";
    EXPECT_TRUE(with_message || none == "first process: 0x00000000") << none;
}

TEST(SystemErrorText, ComErrorInformationComesFirstAndIsConsumed) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(L"Custom \"COM\" failure\r\n"));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    ASSERT_EQ(SetErrorInfo(0, info), S_OK);
    info->Release();
    create->Release();

    // Not a COM call: the object is left alone and the message table answers.
    const std::string plain = win::system_error_text(E_FAIL);
    EXPECT_EQ(plain.find("Custom"), std::string::npos) << plain;
    EXPECT_EQ(win::com_system_error_text(E_FAIL), "Custom \"COM\" failure (0x80004005)");
    // Read once: a later COM failure does not see a stale description.
    EXPECT_EQ(win::com_system_error_text(E_FAIL), plain);
}

TEST(SystemErrorText, NtStatusCodesUseTheNtMessageTable) {
    // STATUS_ACCESS_DENIED wrapped as an HRESULT (FACILITY_NT_BIT set).
    const std::string text = win::system_error_text(static_cast<HRESULT>(0xD0000022u));
    std::printf("NT status text: %s\n", text.c_str());
    EXPECT_EQ(text.substr(text.size() - 10), "0xD0000022") << text;
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        GetModuleHandleW(L"ntdll.dll"), 0xC0000022u, 0,
                                        reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (buffer) {
        const std::string expected(trim_trailing_space(wide_to_utf8(std::wstring_view(buffer, length))));
        LocalFree(buffer);
        EXPECT_EQ(text, expected + " (0xD0000022)");
    } else {
        EXPECT_EQ(text, "0xD0000022");  // no NT message table in this system
    }
}

TEST(SystemErrorText, NtStatusCodesNeverTakeTheSystemTableText) {
    // 0x10000002 has the NT bit; NT status 0x00000002 has no message in ntdll's table, while the
    // system table's text for 2 ("The system cannot find the file specified.") describes a
    // different error. The code alone is the answer.
    EXPECT_FALSE(win::system_error_text(static_cast<HRESULT>(0x80070002u)).starts_with("0x"));
    EXPECT_EQ(win::system_error_text(static_cast<HRESULT>(0x10000002u)), "0x10000002");
    EXPECT_EQ(win::context_error("open process", static_cast<HRESULT>(0x10000002u)), "open process: 0x10000002");
}

TEST(ProcessApiWin, AWriteErrorIsInTheContextFormWithItsHresult) {
    win::WindowsProcessApi api;
    EXPECT_EQ(api.os_error_context("process list", ERROR_NO_DATA),
              "process list: " + win::system_error_text(static_cast<HRESULT>(0x800700E8u)));
    EXPECT_TRUE(api.os_error_context("process list", ERROR_NO_DATA).ends_with(" (0x800700E8)"));
}

// Each allocation of the identity query fails in turn: the process handle is closed on every
// one of those paths (its owner exists before it does).
TEST(ProcessApiWin, AnAllocationThatFailsLeavesNoProcessHandleOpen) {
    win::WindowsProcessApi api;
    std::size_t failed = 0;
    const std::size_t before = test_support::own_process_handles();
    test::for_each_failing_allocation(
        std::chrono::seconds(60), "query_process_identity",
        [&] {
            Result<ProcessIdentity> identity = api.query_process_identity(GetCurrentProcessId());
            EXPECT_TRUE(identity.has_value());
        },
        [&](const test::FailingRun& run) {
            if (run.threw) ++failed;
            EXPECT_EQ(test_support::own_process_handles(), before)
                << "a handle of this process left open when allocation " << run.armed << " failed";
        });
    EXPECT_GT(failed, 1u);
}

}  // namespace
}  // namespace tamsel::host
