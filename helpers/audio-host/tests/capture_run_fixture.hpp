#pragma once
// A scripted platform for the capture run: fake processes whose liveness the test controls, a
// scripted capture client, and a call log shared by everything, so a test sees the run's steps
// and its take-down in one list. Standard error is captured through a pipe while the entry
// (host_main) runs, so the lines checked are the bytes the program would really write.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture_run.hpp"
#include "process_api.hpp"
#include "scripted_capture.hpp"

namespace tamsel::host::testing {

constexpr std::uint32_t TRANSLATOR_PID = 500;
constexpr std::uint32_t TARGET_PID = 700;
constexpr std::uint32_t HOST_PID = 1000;
constexpr std::uint64_t TARGET_START = 133000000000000000ull;
inline const char* const TARGET_EXE = "C:\\Apps\\Player.exe";

// pid 500 (translator) -> host 1000; pid 700 (target) unrelated; both children of pid 4.
class RunProcessApi final : public ProcessApi {
public:
    explicit RunProcessApi(CallLog& log) : log_(log) {}

    std::shared_ptr<std::atomic<bool>> translator_running = std::make_shared<std::atomic<bool>>(true);
    std::shared_ptr<std::atomic<bool>> target_running = std::make_shared<std::atomic<bool>>(true);
    ProcessTable table{{4, 0}, {TRANSLATOR_PID, 4}, {HOST_PID, TRANSLATOR_PID}, {TARGET_PID, 4}};

    Result<ProcessIdentity> query_process_identity(std::uint32_t pid) override {
        ProcessIdentity identity;
        if (pid == TRANSLATOR_PID) {
            identity.exe = "C:\\Program Files\\Tamsel\\tamsel.exe";
            identity.start = 132000000000000000ull;
            identity.handle = std::make_unique<ScriptedProcess>("translator", &log_, translator_running);
        } else if (pid == TARGET_PID) {
            identity.exe = TARGET_EXE;
            identity.start = TARGET_START;
            identity.handle = std::make_unique<ScriptedProcess>("target", &log_, target_running);
        } else {
            return fail("open process: The parameter is incorrect. (0x80070057)");
        }
        return identity;
    }
    Result<ProcessTable> take_process_table() override { return table; }
    std::uint32_t current_process_id() override { return HOST_PID; }
    Result<std::vector<std::uint32_t>> visible_window_owners() override { return std::vector<std::uint32_t>{}; }

private:
    CallLog& log_;
};

class ScriptedPlatform final : public CaptureRunPlatform {
public:
    explicit ScriptedPlatform(CallLog& log) : api(log), log_(log) {}

    RunProcessApi api;
    std::atomic<bool> stop{false};
    Status enter_result = ok();
    Status install_result = ok();
    std::optional<std::string> open_error;
    std::unique_ptr<ScriptedClient> client;  // handed out by open_source
    ScriptedClient* opened = nullptr;        // the client the run owns, once opened

    ProcessApi& processes() override { return api; }
    Status enter_apartment() override {
        log_.push_back("enter apartment");
        return enter_result;
    }
    void leave_apartment() noexcept override { log_.push_back("leave apartment"); }
    Result<std::unique_ptr<CaptureClient>> open_source(const LoopbackSelection& selection) override {
        log_.push_back("open source " + std::to_string(selection.pid) + (selection.include_tree ? " include" : " exclude"));
        if (open_error) return fail(*open_error);
        opened = client.get();
        return std::unique_ptr<CaptureClient>(std::move(client));
    }
    Status install_stop_handler() override {
        log_.push_back("install stop handler");
        return install_result;
    }
    const std::atomic<bool>& stop_requested() const override { return stop; }
    std::string_view backend_name() const override { return "wasapi-process-loopback"; }
    // Logged to place the line among the other calls, then written for real.
    void write_stderr_line(std::string_view line) override {
        log_.push_back("stderr line");
        CaptureRunPlatform::write_stderr_line(line);
    }

private:
    CallLog& log_;
};

// Runs `body` with file descriptor `fd` redirected into a pipe and returns what was written.
// The pipe is drained on the calling thread after `body`, so keep the output under 64 KiB.
inline std::string capture_fd(int fd, const std::function<void()>& body) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return "<pipe failed>";
    const int saved = dup(fd);
    dup2(pipe_fds[1], fd);
    close(pipe_fds[1]);
    body();
    dup2(saved, fd);
    close(saved);
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipe_fds[0]);
    return out;
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            lines.push_back(text.substr(begin) + "<no newline>");
            break;
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

inline std::vector<std::string> process_args() {
    return {"--target", "pid:700", "--exclude-pids", "500", "--expected-exe", TARGET_EXE,
            "--expected-start", std::to_string(TARGET_START)};
}
inline std::vector<std::string> system_args() { return {"--target", "system", "--exclude-pids", "500"}; }

inline const std::string FORMAT_LINE =
    R"({"backend":"wasapi-process-loopback","channels":1,"event":"format","sampleFormat":"s16le","sampleRate":48000})";
inline std::string error_line(const std::string& message) {
    return R"({"code":"capture_failed","event":"error","message":")" + message + R"("})";
}

}  // namespace tamsel::host::testing
