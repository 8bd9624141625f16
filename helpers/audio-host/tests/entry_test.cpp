#include "entry.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "fake_process_api.hpp"

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

TEST(HostMain, AnExceptionFromTheModeStillEndsAsOneEvent) {
    FakeProcessApi api;
    const auto capture = [](const CaptureRequest&) -> Status { throw std::runtime_error("boom"); };
    const Outcome outcome = run_host({"--target", "system", "--exclude-pids", "9"}, api, capture);
    EXPECT_EQ(outcome.code, 1);
    EXPECT_EQ(outcome.err, "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":\"internal error: boom\"}\n");
}

}  // namespace
}  // namespace tamsel::host
