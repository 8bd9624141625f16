#include "entry.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_process_api.hpp"
#include "tamsel/audio/entry_guard.hpp"
#include "tamsel/audio/platform.hpp"
#include "tamsel/version.hpp"

namespace tamsel::host {
namespace {

using testing::FakeProcessApi;

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome run_host(const std::vector<std::string>& args, FakeProcessApi& api,
                 const std::function<Status(const CaptureRequest&)>& run_capture) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int code = host_main(args, api, run_capture);
    Outcome outcome{code, ::testing::internal::GetCapturedStdout(), ::testing::internal::GetCapturedStderr()};
    return outcome;
}

Status never_called(const CaptureRequest&) {
    ADD_FAILURE() << "capture mode must not run";
    return ok();
}

TEST(HostMain, ListWritesTheArrayOnlyAndExitsZero) {
    FakeProcessApi api;
    api.processes[7] = {"C:\\Apps\\Player.exe", 1234};
    api.window_owners = std::vector<std::uint32_t>{7, 7};
    const Outcome outcome = run_host({"--list"}, api, never_called);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out,
              R"([{"id":"pid:7","label":"Player.exe","exe":"C:\\Apps\\Player.exe","start_time":1234,"active":false}])");
    EXPECT_EQ(outcome.err, "");
}

TEST(HostMain, ListFailureIsOneErrorEvent) {
    FakeProcessApi api;
    api.window_owners = fail("enumerate application windows: nope (0x80004005)");
    const Outcome outcome = run_host({"--list"}, api, never_called);
    EXPECT_EQ(outcome.code, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err,
              "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":"
              "\"enumerate application windows: nope (0x80004005)\"}\n");
}

// Standard output on /dev/full: the write fails with ENOSPC, and the event says so in the
// context form, with the system's text and code, and through the platform's own form.
TEST(HostMain, ListWriteFailureKeepsItsCause) {
    struct Case {
        const char* name;
        bool platform_form;  // an api that writes its own "{context}: ..." text
        std::string message;
    };
    const Case cases[] = {
        {"default form", false, "process list: " + os_error_text(ENOSPC)},
        {"platform form", true, "process list: [os 28]"},
    };
    EXPECT_EQ(os_error_text(ENOSPC), "No space left on device (os error 28)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeProcessApi api;
        if (c.platform_form) {
            api.error_form = [](std::string_view context, std::int32_t error) {
                return std::string(context) + ": [os " + std::to_string(error) + "]";
            };
        }
        api.processes[7] = {"C:\\Apps\\Player.exe", 1234};
        api.window_owners = std::vector<std::uint32_t>{7};

        const int full = ::open("/dev/full", O_WRONLY);
        ASSERT_GE(full, 0);
        std::fflush(stdout);
        const int saved = ::dup(STDOUT_FILENO);
        ASSERT_GE(saved, 0);
        ASSERT_EQ(::dup2(full, STDOUT_FILENO), STDOUT_FILENO);
        ::testing::internal::CaptureStderr();
        const int code = host_main({"--list"}, api, never_called);
        const std::string err = ::testing::internal::GetCapturedStderr();
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(full);

        EXPECT_EQ(code, 1);
        const nlohmann::json event = nlohmann::json::parse(err);
        EXPECT_EQ(event.at("message"), c.message);
    }
}

TEST(HostMain, VersionIsOneLineOnStandardOutput) {
    FakeProcessApi api;
    const Outcome outcome = run_host({"--version"}, api, never_called);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out, TAMSEL_VERSION "\n");
    // One line without blanks, "major.minor.patch" first.
    EXPECT_EQ(outcome.out.find_first_of(" \t\r\n"), outcome.out.size() - 1) << outcome.out;
    unsigned major = 0, minor = 0, patch = 0;
    char dot1 = 0, dot2 = 0;
    EXPECT_TRUE(std::istringstream(outcome.out) >> major >> dot1 >> minor >> dot2 >> patch) << outcome.out;
    EXPECT_EQ(std::string({dot1, dot2}), "..") << outcome.out;
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(api.queried.empty());
}

TEST(HostMain, ArgumentErrorsAreOneEventAndExitOne) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "one excluded parent PID is required"},
        {{""}, "arguments must be flag/value pairs"},
        {{"--list", "x"}, "unknown or duplicate argument"},
        {{"--target", "pid:7", "--exclude-pids", "4"}, "expected executable is required"},
    };
    for (const auto& c : cases) {
        FakeProcessApi api;
        const Outcome outcome = run_host(c.args, api, never_called);
        EXPECT_EQ(outcome.code, 1) << c.message;
        EXPECT_EQ(outcome.out, "") << c.message;
        const nlohmann::json event = nlohmann::json::parse(outcome.err);
        EXPECT_EQ(event.at("message").get<std::string>(), c.message);
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << "exactly one line";
        EXPECT_TRUE(api.queried.empty());
    }
}

TEST(HostMain, CaptureGoesToTheRunWithTheRequest) {
    FakeProcessApi api;
    std::optional<CaptureRequest> seen;
    const auto capture = [&seen](const CaptureRequest& request) {
        seen = request;
        return ok();
    };
    const Outcome outcome = run_host({"--target", "system", "--exclude-pids", "+9"}, api, capture);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.err, "");
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->excluded_pid, 9u);
    EXPECT_TRUE(std::holds_alternative<SystemTarget>(seen->target));
}

TEST(HostMain, CaptureErrorIsReportedOnce) {
    FakeProcessApi api;
    const auto capture = [](const CaptureRequest&) -> Status { return fail("selected process exited"); };
    const Outcome outcome = run_host({"--target", "system", "--exclude-pids", "9"}, api, capture);
    EXPECT_EQ(outcome.code, 1);
    EXPECT_EQ(outcome.err, "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":\"selected process exited\"}\n");
}

// Outside host_main too (reading the arguments, making the process API): the error event and 1.
TEST(HostMain, AnExceptionThatLeavesTheEntryIsTheErrorEvent) {
    const struct {
        std::function<int()> entry;
        const char* err;
    } cases[] = {
        {[]() -> int { throw std::bad_alloc(); },
         "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":\"internal error: std::bad_alloc\"}\n"},
        {[]() -> int { throw 7; }, "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":\"internal error\"}\n"},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        const int code = guarded_entry(c.entry);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(code, 1);
    }
}

// The program's entry around the mode (host_main itself lets an exception through to it).
TEST(HostMain, AnExceptionFromTheModeStillEndsAsOneEvent) {
    FakeProcessApi api;
    const auto capture = [](const CaptureRequest&) -> Status { throw std::runtime_error("boom"); };
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int code = guarded_entry([&] { return host_main({"--target", "system", "--exclude-pids", "9"}, api, capture); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":\"internal error: boom\"}\n");
    EXPECT_EQ(code, 1);
}

// A failure that ends the program from another thread (a DLL this Windows lacks, met by the
// thread that first calls into it) is the one error event and exit code 1, in the host's form of
// a system error.
TEST(HostMainDeathTest, AFailureOnAnyThreadIsTheErrorEvent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const SystemErrorText form = [](std::string_view context, std::uint32_t code) {
        return std::string(context) + ": [system " + std::to_string(code) + "]";
    };
    EXPECT_EXIT(guarded_entry(
                    [] {
                        std::thread([] { fail_program("load avrt.dll", 126); }).join();
                        return 0;
                    },
                    form),
                ::testing::ExitedWithCode(1),
                ::testing::StrEq("{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":"
                                 "\"load avrt.dll: [system 126]\"}\n"));
}

}  // namespace
}  // namespace tamsel::host
