// The capture run through the program's entry with a scripted platform and a recording worker:
// the step order, the stderr lines and exit code of every stop cause and failing step, and the
// take-down of exactly what was created.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture_run_fixture.hpp"
#include "capture_run_impl.hpp"
#include "entry.hpp"

namespace tamsel::host::testing {
namespace {

// Stands in for the capture worker; logs every call into the run's log.
class RecordingWorker {
public:
    RecordingWorker(CallLog& log, capture::OutputFailedFlag flag, const std::optional<std::string>* failure)
        : log_(&log), flag_(std::move(flag)), failure_(failure) {}
    std::size_t push_samples(const float* samples, std::size_t count) noexcept {
        const bool zeros = std::all_of(samples, samples + count, [](float s) { return s == 0.0f; });
        log_->push_back(std::string("push ") + (zeros ? "zeros " : "audio ") + std::to_string(count));
        return count / 2;
    }
    void mark_discontinuity() noexcept { log_->push_back("discontinuity"); }
    std::size_t queue_room_frames() const noexcept { return 16384; }
    void release_producer() noexcept { log_->push_back("release producer"); }
    void stop() noexcept { log_->push_back("worker stop"); }
    const char* failure() const noexcept { return failure_->has_value() ? (*failure_)->c_str() : nullptr; }

private:
    CallLog* log_;
    capture::OutputFailedFlag flag_;  // the worker's own reference, as the real one keeps
    const std::optional<std::string>* failure_;  // what the test made the worker's thread end with
};

struct Outcome {
    int exit_code = -1;
    std::vector<std::string> stderr_lines;
};

class CaptureRun : public ::testing::Test {
public:
    CallLog log;
    ScriptedPlatform platform{log};
    capture::OutputFailedFlag worker_flag;
    std::optional<std::string> worker_error;
    std::optional<std::string> worker_failure;

    void script(std::deque<Wake> wakes, std::uint32_t buffer_frames = 1056) {
        platform.client = std::make_unique<ScriptedClient>(log, std::move(wakes), &platform.stop, buffer_frames);
    }

    Outcome run(const std::vector<std::string>& args) {
        Outcome outcome;
        const auto start = [this](std::uint16_t channels, std::uint32_t rate, std::size_t capacity,
                                  capture::OutputFailedFlag flag) -> Result<RecordingWorker> {
            log.push_back("start worker " + std::to_string(channels) + " " + std::to_string(rate) + " " +
                          std::to_string(capacity) + (flag && !flag->load() ? " flag clear" : " flag BAD"));
            if (worker_error) return fail(*worker_error);
            worker_flag = flag;
            return RecordingWorker(log, std::move(flag), &worker_failure);
        };
        const std::string err = capture_fd(2, [&] {
            outcome.exit_code = host_main(args, platform.api, [&](const CaptureRequest& request) {
                return run_capture_with<RecordingWorker>(request, platform, start);
            });
        });
        outcome.stderr_lines = split_lines(err);
        return outcome;
    }
};

// One wake with one audible packet, then the event stays quiet; `during` runs inside the second
// wait (the first pass after the packet).
std::deque<Wake> one_packet_then(std::function<void()> during) {
    std::deque<Wake> wakes;
    wakes.push_back(Wake{WaitOutcome::Signalled, {{4, 0, PacketData::Audible}}, {}});
    wakes.push_back(Wake{WaitOutcome::Timeout, {}, std::move(during)});
    return wakes;
}

const std::vector<std::string> STREAMING = {"wait 250", "size", "get", "push audio 8", "release 4", "size", "wait 250"};

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const std::vector<std::string> PREPARE_PROCESS = {"enter apartment", "open source 700 include",
                                                  "start worker 2 48000 32 flag clear", "install stop handler",
                                                  "stderr line", "client start"};
const std::vector<std::string> TAKE_DOWN_PROCESS = {"client stop",    "release producer", "worker stop",
                                                    "client destroyed", "leave apartment", "close target",
                                                    "close translator"};

TEST_F(CaptureRun, ProcessCaptureStepOrderAndTakeDownOnConsoleStop) {
    script(one_packet_then([this] { platform.stop = true; }));
    const Outcome outcome = run(process_args());
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.stderr_lines, std::vector<std::string>{FORMAT_LINE});
    EXPECT_EQ(log, concat({PREPARE_PROCESS, STREAMING, TAKE_DOWN_PROCESS}));
}

TEST_F(CaptureRun, SystemCaptureExcludesTheTranslatorTreeAndHasNoTarget) {
    // The "target" pid is dead and would end a Process capture; a System capture never looks.
    *platform.api.target_running = false;
    script(one_packet_then([this] { platform.stop = true; }));
    const Outcome outcome = run(system_args());
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.stderr_lines, std::vector<std::string>{FORMAT_LINE});
    const std::vector<std::string> expected = concat(
        {{"enter apartment", "open source 500 exclude", "start worker 2 48000 32 flag clear", "install stop handler",
          "stderr line", "client start"},
         STREAMING,
         {"client stop", "release producer", "worker stop", "client destroyed", "leave apartment", "close translator"}});
    EXPECT_EQ(log, expected);
}

// The run's table of stop causes: stderr lines and exit code, with the full take-down each time.
TEST_F(CaptureRun, EveryStopCauseGivesItsLinesAndExitCode) {
    struct Case {
        const char* name;
        std::function<void(CaptureRun&)> during;  // inside the second wait
        const char* error;                        // nullptr: normal end, exit code 0
    };
    const std::vector<Case> cases = {
        {"console stop", [](CaptureRun& t) { t.platform.stop = true; }, nullptr},
        {"output failed", [](CaptureRun& t) { t.worker_flag->store(true); }, nullptr},
        {"translator exited", [](CaptureRun& t) { *t.platform.api.translator_running = false; }, nullptr},
        {"target exited", [](CaptureRun& t) { *t.platform.api.target_running = false; }, "selected process exited"},
        // The worker's thread ended early: it set output_failed, and its reason is the error.
        {"worker failed",
         [](CaptureRun& t) {
             t.worker_failure = "capture worker: out of memory";
             t.worker_flag->store(true);
         },
         "capture worker: out of memory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        *platform.api.translator_running = true;
        *platform.api.target_running = true;
        platform.stop = false;
        worker_failure.reset();
        script(one_packet_then([this, &c] { c.during(*this); }));
        log.clear();
        const Outcome outcome = run(process_args());
        std::vector<std::string> lines = {FORMAT_LINE};
        if (c.error) lines.push_back(error_line(c.error));
        EXPECT_EQ(outcome.stderr_lines, lines);
        EXPECT_EQ(outcome.exit_code, c.error ? 1 : 0);
        EXPECT_EQ(log, concat({PREPARE_PROCESS, STREAMING, TAKE_DOWN_PROCESS}));
    }
}

TEST_F(CaptureRun, PacketLoopErrorsEndTheRunWithExitCode1) {
    struct Case {
        const char* name;
        std::deque<Wake> wakes;
        std::function<void(ScriptedClient&)> arrange;
        const char* error;
        std::vector<std::string> streaming;
    };
    std::vector<Case> cases;
    {
        std::deque<Wake> w;
        w.push_back(Wake{WaitOutcome::Failed, {}, {}});
        cases.push_back({"wait failed", std::move(w), {}, "capture event wait failed", {"wait 250"}});
    }
    {
        std::deque<Wake> w;
        w.push_back(Wake{WaitOutcome::Signalled, {{2000, 0, PacketData::Audible}}, {}});
        cases.push_back({"oversize packet", std::move(w), {}, "capture packet exceeded negotiated buffer",
                         {"wait 250", "size", "get", "release 2000"}});
    }
    {
        std::deque<Wake> w;
        w.push_back(Wake{WaitOutcome::Signalled, {{4, 0, PacketData::Misaligned}}, {}});
        cases.push_back({"misaligned packet", std::move(w), {}, "invalid float capture buffer",
                         {"wait 250", "size", "get", "release 4"}});
    }
    {
        std::deque<Wake> w;
        w.push_back(Wake{WaitOutcome::Signalled, {{4, 0, PacketData::Audible}}, {}});
        cases.push_back({"read failure", std::move(w),
                         [](ScriptedClient& c) { c.fail_get = {{0, R"(read capture packet: Bad "thing" (0x88890004))"}}; },
                         R"(read capture packet: Bad \"thing\" (0x88890004))", {"wait 250", "size", "get"}});
    }
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        script(std::move(c.wakes));
        if (c.arrange) c.arrange(*platform.client);
        log.clear();
        const Outcome outcome = run(process_args());
        EXPECT_EQ(outcome.exit_code, 1);
        EXPECT_EQ(outcome.stderr_lines, (std::vector<std::string>{FORMAT_LINE, error_line(c.error)}));
        EXPECT_EQ(log, concat({PREPARE_PROCESS, c.streaming, TAKE_DOWN_PROCESS}));
    }
}

// Each failing step: its error event, no format event before step 7, and the take-down of
// exactly what the steps before it created.
TEST_F(CaptureRun, EveryFailingStepTakesDownOnlyWhatExists) {
    struct Case {
        const char* name;
        std::function<void(CaptureRun&)> arrange;
        std::vector<std::string> args;
        std::vector<std::string> stderr_lines;
        std::vector<std::string> log;
    };
    const std::string parent_error = "excluded PID must be the helper's parent application";
    const std::string identity_error = "selected process identity changed; refresh the process list";
    const std::vector<Case> cases = {
        {"host not started by the translator",
         [](CaptureRun& t) { t.platform.api.table[HOST_PID] = 4; },
         system_args(), {error_line(parent_error)}, {}},
        {"target identity changed",
         [](CaptureRun&) {},
         {"--target", "pid:700", "--exclude-pids", "500", "--expected-exe", TARGET_EXE, "--expected-start", "1"},
         {error_line(identity_error)},
         {"close target", "close translator"}},
        {"COM apartment refused",
         [](CaptureRun& t) { t.platform.enter_result = fail("COM MTA: Cannot change thread mode after it is set. (0x80010106)"); },
         process_args(), {error_line("COM MTA: Cannot change thread mode after it is set. (0x80010106)")},
         {"enter apartment", "close target", "close translator"}},
        {"loopback activation refused",
         [](CaptureRun& t) {
             t.platform.open_error =
                 "process-loopback activation (requires supported Windows build): File not found. (0x80070002)";
         },
         process_args(),
         {error_line("process-loopback activation (requires supported Windows build): File not found. (0x80070002)")},
         {"enter apartment", "open source 700 include", "leave apartment", "close target", "close translator"}},
        {"worker thread not created",
         [](CaptureRun& t) { t.worker_error = "capture worker: Resource temporarily unavailable (os error 11)"; },
         process_args(), {error_line("capture worker: Resource temporarily unavailable (os error 11)")},
         {"enter apartment", "open source 700 include", "start worker 2 48000 32 flag clear", "client stop",
          "client destroyed", "leave apartment", "close target", "close translator"}},
        {"console handler refused",
         [](CaptureRun& t) { t.platform.install_result = fail("console stop handler: Access is denied. (0x80070005)"); },
         process_args(), {error_line("console stop handler: Access is denied. (0x80070005)")},
         {"enter apartment", "open source 700 include", "start worker 2 48000 32 flag clear", "install stop handler",
          "client stop", "release producer", "worker stop", "client destroyed", "leave apartment", "close target",
          "close translator"}},
        {"target exited before capture",
         [](CaptureRun& t) { *t.platform.api.target_running = false; },
         process_args(), {error_line("selected or parent process exited before capture")},
         {"enter apartment", "open source 700 include", "start worker 2 48000 32 flag clear", "install stop handler",
          "client stop", "release producer", "worker stop", "client destroyed", "leave apartment", "close target",
          "close translator"}},
        {"translator exited before a system capture",
         [](CaptureRun& t) { *t.platform.api.translator_running = false; },
         system_args(), {error_line("selected or parent process exited before capture")},
         {"enter apartment", "open source 500 exclude", "start worker 2 48000 32 flag clear", "install stop handler",
          "client stop", "release producer", "worker stop", "client destroyed", "leave apartment",
          "close translator"}},
        {"stream does not start: format event, then the error",
         [](CaptureRun& t) { t.platform.client->start_result = fail("start process capture: Device in use. (0x8889000A)"); },
         process_args(), {FORMAT_LINE, error_line("start process capture: Device in use. (0x8889000A)")},
         concat({PREPARE_PROCESS, TAKE_DOWN_PROCESS})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        platform.api.table[HOST_PID] = TRANSLATOR_PID;
        *platform.api.translator_running = true;
        *platform.api.target_running = true;
        platform.enter_result = ok();
        platform.install_result = ok();
        platform.open_error.reset();
        worker_error.reset();
        script({});
        c.arrange(*this);
        log.clear();
        const Outcome outcome = run(c.args);
        EXPECT_EQ(outcome.exit_code, 1);
        EXPECT_EQ(outcome.stderr_lines, c.stderr_lines);
        EXPECT_EQ(log, c.log);
    }
}

TEST_F(CaptureRun, SilentAndDiscontinuousPacketsReachTheWorkerAsZerosAfterTheMark) {
    std::deque<Wake> wakes;
    wakes.push_back(Wake{WaitOutcome::Signalled,
                         {{700, PACKET_FLAG_SILENT | PACKET_FLAG_DISCONTINUITY, PacketData::Null}, {3, 0, PacketData::Audible}},
                         {}});
    script(std::move(wakes));
    const Outcome outcome = run(process_args());
    EXPECT_EQ(outcome.exit_code, 0);
    const std::vector<std::string> expected = concat(
        {PREPARE_PROCESS,
         {"wait 250", "size", "get", "discontinuity", "push zeros 1024", "push zeros 376", "release 700", "size", "get",
          "push audio 6", "release 3", "size", "wait 250"},
         TAKE_DOWN_PROCESS});
    EXPECT_EQ(log, expected);
}

}  // namespace
}  // namespace tamsel::host::testing
