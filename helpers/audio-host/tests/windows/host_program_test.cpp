// tamsel_audio_host.exe as the translator sees it: started with pipes, its standard output,
// standard error and exit code read back.
#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "child_process_win.hpp"
#include "top_windows_win.hpp"
#include "wine_dll_override_win.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::host {
namespace {

using test_support::Child;

std::wstring host_path() { return test_support::own_folder() + L"tamsel_audio_host.exe"; }

Child::Output run_host(const std::vector<std::wstring>& args) {
    DWORD error = 0;
    Child child = Child::start(host_path(), args, &error);
    EXPECT_TRUE(child.started()) << "CreateProcessW failed: " << error;
    if (!child.started()) return {};
    Child::Output output = child.finish();
    EXPECT_TRUE(output.finished);
    return output;
}

using test_support::has_display;

int windows_of(DWORD pid) { return test_support::top_windows_of(pid, false); }
int visible_windows_of(DWORD pid) { return test_support::top_windows_of(pid, true); }

TEST(HostProgram, ListIsOneJsonArrayWithoutNewline) {
    const Child::Output output = run_host({L"--list"});
    EXPECT_EQ(output.exit_code, 0u);
    EXPECT_EQ(output.err, "");
    ASSERT_FALSE(output.out.empty());
    EXPECT_EQ(output.out.front(), '[');
    EXPECT_EQ(output.out.back(), ']');
    const nlohmann::json list = nlohmann::json::parse(output.out);  // throws (fails) on anything else
    ASSERT_TRUE(list.is_array());
    for (const nlohmann::json& record : list) {
        ASSERT_EQ(record.size(), 5u);
        EXPECT_EQ(record.at("active"), false);
        EXPECT_EQ(record.at("id").get<std::string>().rfind("pid:", 0), 0u);
    }
}

// The system's own text for a Win32 error, trailing white space cut (the oracle for the host's).
std::string message_of(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text = n && buffer ? wide_to_utf8(std::wstring_view(buffer, n)) : std::string();
    if (buffer) LocalFree(buffer);
    return std::string(trim_trailing_space(text));
}

// A DLL this Windows lacks (Wine's per-program load order stands in for such a Windows) ends the
// host as one error event with the system's cause and exit code 1, not as an unhandled exception:
// shell32.dll is met at the first step, reading the arguments.
TEST(HostProgram, AMissingDllIsOneErrorEvent) {
    const std::string cause = message_of(ERROR_MOD_NOT_FOUND);
    ASSERT_FALSE(cause.empty());
    const test_support::WineDllDisabled missing(L"tamsel_audio_host.exe", L"shell32");
    ASSERT_TRUE(missing.set());
    const Child::Output output = run_host({L"--list"});
    EXPECT_EQ(output.err, "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":\"load shell32.dll: " +
                              cause + " (0x8007007E)\"}\n");
    EXPECT_EQ(output.exit_code, 1u);
    EXPECT_EQ(output.out, "");
}

TEST(HostProgram, ListWriteFailureIsOneErrorEventWithItsCause) {
    test_support::ChildOptions options;
    options.read_stdout = false;  // a pipe nobody reads: every write to it fails
    Child child = Child::start(host_path(), {L"--list"}, nullptr, options);
    ASSERT_TRUE(child.started());
    const Child::Output output = child.finish();
    ASSERT_TRUE(output.finished);
    EXPECT_EQ(output.exit_code, 1u);
    // The write to a pipe without reader fails with ERROR_NO_DATA ("The pipe is being closed.")
    // on Windows and Wine alike; the event keeps that cause in the context form.
    const std::string cause = message_of(ERROR_NO_DATA);
    ASSERT_FALSE(cause.empty());
    EXPECT_EQ(output.err,
              "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":"
              "\"process list: " + cause + " (0x800700E8)\"}\n");
}

TEST(HostProgram, AProcessWithOnlyAHiddenWindowIsNotListed) {
    if (!has_display()) GTEST_SKIP() << "needs a display for windows (run under xvfb-run)";
    const std::wstring owner_path = test_support::own_folder() + L"tamsel_window_owner.exe";
    Child owner = Child::start(owner_path, {L"--hidden-only"});
    ASSERT_TRUE(owner.started());
    for (int i = 0; i < 400 && windows_of(owner.pid()) < 1; ++i) {
        ASSERT_EQ(WaitForSingleObject(owner.process(), 50), static_cast<DWORD>(WAIT_TIMEOUT))
            << "the window owner ended early";
    }
    ASSERT_GE(windows_of(owner.pid()), 1) << "the hidden window exists";
    ASSERT_EQ(visible_windows_of(owner.pid()), 0);

    const Child::Output output = run_host({L"--list"});
    EXPECT_EQ(output.exit_code, 0u);
    const nlohmann::json list = nlohmann::json::parse(output.out);
    const std::string id = "pid:" + std::to_string(owner.pid());
    for (const nlohmann::json& record : list) EXPECT_NE(record.at("id"), id) << "only a hidden window: " << output.out;
}

TEST(HostProgram, ListShowsAWindowOwnerOnceWithItsIdentity) {
    if (!has_display()) GTEST_SKIP() << "needs a display for windows (run under xvfb-run)";
    const std::wstring owner_path = test_support::own_folder() + L"tamsel_window_owner.exe";
    Child owner = Child::start(owner_path, {});
    ASSERT_TRUE(owner.started());
    // Wait until both windows are visible.
    for (int i = 0; i < 400 && visible_windows_of(owner.pid()) < 2; ++i) {
        ASSERT_EQ(WaitForSingleObject(owner.process(), 50), static_cast<DWORD>(WAIT_TIMEOUT))
            << "the window owner ended early";
    }
    ASSERT_EQ(visible_windows_of(owner.pid()), 2);

    const Child::Output output = run_host({L"--list"});
    EXPECT_EQ(output.exit_code, 0u);
    EXPECT_EQ(output.err, "");
    EXPECT_NE(output.out.back(), '\n');
    const nlohmann::ordered_json list = nlohmann::ordered_json::parse(output.out);

    // The child as this test knows it.
    wchar_t image[MAX_PATH * 4];
    DWORD units = MAX_PATH * 4;
    ASSERT_TRUE(QueryFullProcessImageNameW(owner.process(), 0, image, &units));
    const std::string exe = wide_to_utf8(std::wstring_view(image, units));
    const std::uint64_t start = test_support::creation_time(owner.process());
    ASSERT_NE(start, 0u);
    EXPECT_TRUE(ascii_iequal(exe, wide_to_utf8(owner_path))) << exe;

    const std::string id = "pid:" + std::to_string(owner.pid());
    int found = 0;
    std::uint64_t previous_pid = 0;
    for (const nlohmann::ordered_json& record : list) {
        const std::uint64_t pid = std::stoull(record.at("id").get<std::string>().substr(4));
        EXPECT_GT(pid, previous_pid) << "sorted by pid, each once";
        previous_pid = pid;
        if (record.at("id") != id) continue;
        ++found;
        EXPECT_EQ(record.dump(), nlohmann::ordered_json({{"id", id},
                                                         {"label", "tamsel_window_owner.exe"},
                                                         {"exe", exe},
                                                         {"start_time", start},
                                                         {"active", false}})
                                     .dump());
    }
    EXPECT_EQ(found, 1) << output.out;
    // The keys keep their declared order on the wire.
    const std::size_t at = output.out.find("{\"id\":\"" + id + "\"");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(output.out.compare(at, 7 + id.size() + 11, "{\"id\":\"" + id + "\",\"label\":\""), 0);
}

struct ArgumentCase {
    std::vector<std::wstring> args;
    const char* message;
};

TEST(HostProgram, ArgumentErrorsGiveOneEventAndExitOne) {
    const std::wstring lone_surrogate(1, static_cast<wchar_t>(0xD800));
    const std::wstring long_value(30000, L'x');
    const ArgumentCase cases[] = {
        {{}, "one excluded parent PID is required"},
        {{L"--list", L"--target", L"system"}, "arguments must be flag/value pairs"},
        {{L"--list", L"x"}, "unknown or duplicate argument"},
        {{L"--LIST"}, "arguments must be flag/value pairs"},
        {{L"--target", L"bogus", L"--exclude-pids", L"0"}, "exactly one positive excluded PID is required"},
        {{L"--target", L"System", L"--exclude-pids", L"4"}, "target must be system or pid:N"},
        {{L"--target", L"system", L"--exclude-pids", L"4", L"--expected-start", L"0"},
         "process identity is not valid for system capture"},
        {{L"--target", L"pid:7", L"--exclude-pids", L"4", L"--expected-exe", L"", L"--expected-start", L"5"},
         "expected executable is required"},
        // An empty argument, alone and as a value.
        {{L""}, "arguments must be flag/value pairs"},
        {{L"--target", L"", L"--exclude-pids", L"4"}, "target must be system or pid:N"},
        // Unpaired surrogates become U+FFFD before the rules apply.
        {{L"--target" + lone_surrogate, L"system"}, "unknown or duplicate argument"},
        {{L"--target", L"system", L"--exclude-pids", L"4" + lone_surrogate}, "exactly one positive excluded PID is required"},
        {{L"--target", L"pid:7", L"--exclude-pids", L"4", L"--expected-exe", lone_surrogate + L"C:\\a.exe"},
         "expected process creation time is required"},
        // Close to the longest command line Windows accepts.
        {{L"--target", L"pid:7", L"--exclude-pids", L"4", L"--expected-exe", long_value},
         "expected process creation time is required"},
        {{L"--target", L"system", L"--exclude-pids", long_value}, "exactly one positive excluded PID is required"},
    };
    for (const ArgumentCase& c : cases) {
        const Child::Output output = run_host(c.args);
        EXPECT_EQ(output.exit_code, 1u) << c.message;
        EXPECT_EQ(output.out, "") << c.message;
        const std::string expected =
            std::string("{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":\"") + c.message + "\"}\n";
        EXPECT_EQ(output.err, expected);
    }
}

TEST(HostProgram, ValidationRunsBeforeCaptureWithRealParent) {
    // This test is the host's real parent; a different pid as translator breaks the parent rule
    // before anything else happens.
    const std::wstring other = std::to_wstring(GetCurrentProcessId() + 4);
    const Child::Output output = run_host({L"--target", L"system", L"--exclude-pids", other});
    EXPECT_EQ(output.exit_code, 1u);
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err,
              "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":"
              "\"excluded PID must be the helper's parent application\"}\n");
}

}  // namespace
}  // namespace tamsel::host
