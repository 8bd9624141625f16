// The capture run with the real capture worker thread: captured packets come out of standard
// output as PCM after the format event, and a reader that goes away ends the run normally.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture_run.hpp"
#include "capture_run_fixture.hpp"
#include "entry.hpp"

namespace tamsel::host::testing {
namespace {

struct Pipe {
    int read_end = -1, write_end = -1;
    Pipe() {
        int fds[2];
        if (pipe(fds) == 0) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    ~Pipe() {
        if (read_end >= 0) close(read_end);
        if (write_end >= 0) close(write_end);
    }
};

// Reads from `fd` until `want` bytes arrived or five seconds passed.
std::string read_bytes(int fd, std::size_t want) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (data.size() < want && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, want - data.size()));
        if (n <= 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

// Runs the entry with the real run_capture, standard output redirected to `stdout_fd`.
struct RealRun {
    int exit_code = -1;
    std::vector<std::string> stderr_lines;
};

RealRun run_with_stdout(ScriptedPlatform& platform, int stdout_fd) {
    RealRun outcome;
    const int saved_stdout = dup(1);
    dup2(stdout_fd, 1);
    const std::string err = capture_fd(2, [&] {
        outcome.exit_code = host_main(process_args(), platform.api,
                                      [&](const CaptureRequest& request) { return run_capture(request, platform); });
    });
    dup2(saved_stdout, 1);
    close(saved_stdout);
    outcome.stderr_lines = split_lines(err);
    return outcome;
}

TEST(CaptureRunWorker, PacketsBecomePcmOnStandardOutputAfterTheFormatEvent) {
    CallLog log;
    ScriptedPlatform platform(log);
    Pipe out;
    ASSERT_GE(out.read_end, 0);
    std::string pcm;
    // One full chunk of stereo (0.25, 0.25) frames; the next wait reads the chunk from the pipe
    // (the worker writes it meanwhile) and then asks the run to stop.
    std::deque<Wake> wakes;
    wakes.push_back(Wake{WaitOutcome::Signalled, {{960, 0, PacketData::Audible}}, {}});
    wakes.push_back(Wake{WaitOutcome::Timeout, {}, [&] {
                             pcm = read_bytes(out.read_end, 1920);
                             platform.stop = true;
                         }});
    platform.client = std::make_unique<ScriptedClient>(log, std::move(wakes), &platform.stop, 1056);

    const RealRun outcome = run_with_stdout(platform, out.write_end);
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.stderr_lines, std::vector<std::string>{FORMAT_LINE});
    ASSERT_EQ(pcm.size(), 1920u);
    // (0.25 + 0.25) / 2 * 32767 = 8191.75 -> 8191 = 0x1FFF, little-endian.
    for (std::size_t i = 0; i < pcm.size(); i += 2) {
        ASSERT_EQ(static_cast<unsigned char>(pcm[i]), 0xFF) << i;
        ASSERT_EQ(static_cast<unsigned char>(pcm[i + 1]), 0x1F) << i;
    }
    // The worker has been joined: nothing more is written after the run.
    close(out.write_end);
    out.write_end = -1;
    EXPECT_EQ(read_bytes(out.read_end, 1), "");
}

TEST(CaptureRunWorker, ReaderGoneEndsTheRunNormallyWithoutErrorEvent) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);

    CallLog log;
    ScriptedPlatform platform(log);
    Pipe out;
    ASSERT_GE(out.read_end, 0);
    close(out.read_end);  // nobody reads standard output
    out.read_end = -1;

    // A chunk's worth of audio on every wake, for up to 5 s; the script running out would set
    // stop_requested, so a normal end with the stop flag still clear means output_failed did it.
    std::deque<Wake> wakes;
    for (int i = 0; i < 500; ++i) {
        wakes.push_back(Wake{WaitOutcome::Signalled, {{960, 0, PacketData::Audible}},
                             [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }});
    }
    platform.client = std::make_unique<ScriptedClient>(log, std::move(wakes), &platform.stop, 1056);

    const RealRun outcome = run_with_stdout(platform, out.write_end);
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.stderr_lines, std::vector<std::string>{FORMAT_LINE});
    EXPECT_FALSE(platform.stop.load()) << "the run ended by running out of script, not by output failure";
    EXPECT_EQ(log.back(), "close translator");
}

}  // namespace
}  // namespace tamsel::host::testing
