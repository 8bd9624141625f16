// The real output path: PCM through standard output (a pipe put on fd 1), a reader that
// closed the pipe, a process without standard output, and the diagnostic line on standard
// error switched by TAMSEL_AUDIO_DIAGNOSTICS. Linux only (file descriptors are moved around).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "convert.hpp"
#include "worker.hpp"

namespace tamsel::capture {
namespace {

using namespace std::chrono_literals;

// Puts a pipe's write end on `fd` for the lifetime of the object and gives the read end to the
// test. Nothing may be asserted while fd 1 is redirected (gtest prints there), so the tests
// collect results and assert after restore().
class Redirect {
public:
    explicit Redirect(int fd) : fd_(fd) {
        if (fd_ == STDOUT_FILENO) std::fflush(stdout);
        saved_ = ::dup(fd_);
        int ends[2];
        if (::pipe(ends) != 0) std::abort();
        read_end_ = ends[0];
        ::dup2(ends[1], fd_);
        ::close(ends[1]);
    }
    ~Redirect() {
        restore();
        if (read_end_ >= 0) ::close(read_end_);
    }
    int read_end() const { return read_end_; }
    void close_read_end() {
        ::close(read_end_);
        read_end_ = -1;
    }
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }
    // Everything readable now, without waiting for more.
    std::string drain() {
        std::string out;
        char buffer[4096];
        while (true) {
            pollfd p{read_end_, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
            const ssize_t n = ::read(read_end_, buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

private:
    int fd_;
    int saved_ = -1;
    int read_end_ = -1;
};

class IgnoreSigpipe {
public:
    IgnoreSigpipe() { previous_ = ::signal(SIGPIPE, SIG_IGN); }
    ~IgnoreSigpipe() { ::signal(SIGPIPE, previous_); }

private:
    void (*previous_)(int);
};

std::vector<float> audio(std::size_t frames) {
    std::vector<float> v(2 * frames);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i % 2000) / 1000.0f - 1.0f;
    return v;
}

bool wait_until(const std::atomic<bool>& flag) {
    for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
        if (flag.load()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return flag.load();
}

TEST(StandardOutput, CarriesWholeChunksUnchanged) {
    const auto input = audio(960 * 6 + 500);
    std::vector<std::uint8_t> expected(960 * 6 * 2);
    ASSERT_TRUE(convert_frames_scalar(input.data(), 960 * 6 * 2, 2, expected.data()));

    std::string received;
    bool started = false;
    {
        Redirect out(STDOUT_FILENO);
        auto flag = std::make_shared<std::atomic<bool>>(false);
        auto worker = start_capture_worker(2, 48000, 32, flag);
        started = worker.has_value();
        if (started) {
            worker->push_samples(input.data(), input.size());
            for (auto deadline = std::chrono::steady_clock::now() + 10s;
                 received.size() < expected.size() && std::chrono::steady_clock::now() < deadline;) {
                received += out.drain();
                std::this_thread::sleep_for(1ms);
            }
            std::this_thread::sleep_for(20ms);
            worker->stop();
            received += out.drain();
        }
    }
    ASSERT_TRUE(started);
    ASSERT_EQ(received.size(), expected.size()) << "6 whole chunks, the 500 pending frames never";
    EXPECT_EQ(std::vector<std::uint8_t>(received.begin(), received.end()), expected);
}

TEST(StandardOutput, AClosedPipeSetsOutputFailed) {
    IgnoreSigpipe ignore;
    auto flag = std::make_shared<std::atomic<bool>>(false);
    bool started = false, failed = false;
    std::size_t accepted_after_failure = 0;
    {
        Redirect out(STDOUT_FILENO);
        out.close_read_end();
        auto worker = start_capture_worker(2, 48000, 32, flag);
        started = worker.has_value();
        if (started) {
            const auto input = audio(960 * 3);
            worker->push_samples(input.data(), input.size());
            failed = wait_until(*flag);
            accepted_after_failure = worker->push_samples(input.data(), input.size());
            worker->stop();
        }
    }
    ASSERT_TRUE(started);
    EXPECT_TRUE(failed);
    EXPECT_TRUE(flag->load()) << "the flag stays set";
    EXPECT_EQ(accepted_after_failure, 960u * 3) << "the worker keeps taking audio until it is stopped";
}

TEST(StandardOutput, OnlyTheFirstChunkIsTriedAfterTheReaderLeft) {
    IgnoreSigpipe ignore;
    std::vector<bool> results;  // written on the worker, read after stop
    auto flag = std::make_shared<std::atomic<bool>>(false);
    {
        Redirect out(STDOUT_FILENO);
        out.close_read_end();
        WorkerHooks hooks = standard_worker_hooks();
        hooks.diagnostics_enabled = false;
        hooks.write_chunk = [&results](const std::uint8_t* bytes, std::size_t size) {
            const bool ok = write_chunk(bytes, size);
            results.push_back(ok);
            return ok;
        };
        auto worker = start_capture_worker_with(2, 48000, 32, flag, std::move(hooks));
        if (worker) {
            const auto input = audio(960 * 4);
            worker->push_samples(input.data(), input.size());
            wait_until(*flag);
            std::this_thread::sleep_for(20ms);
            worker->stop();
        }
    }
    EXPECT_EQ(results, std::vector<bool>{false});
    EXPECT_TRUE(flag->load());
}

TEST(StandardOutput, AMissingStandardOutputCountsAsWritten) {
    std::vector<bool> results;
    std::atomic<int> writes{0};
    auto flag = std::make_shared<std::atomic<bool>>(false);
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    ::close(STDOUT_FILENO);
    {
        WorkerHooks hooks = standard_worker_hooks();
        hooks.diagnostics_enabled = false;
        hooks.write_chunk = [&results, &writes](const std::uint8_t* bytes, std::size_t size) {
            const bool ok = write_chunk(bytes, size);
            results.push_back(ok);
            writes.fetch_add(1, std::memory_order_release);
            return ok;
        };
        auto worker = start_capture_worker_with(2, 48000, 32, flag, std::move(hooks));
        if (worker) {
            const auto input = audio(960 * 3);
            worker->push_samples(input.data(), input.size());
            for (int i = 0; i < 10000 && writes.load(std::memory_order_acquire) < 3; ++i) {
                std::this_thread::sleep_for(1ms);
            }
            worker->stop();
        }
    }
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    EXPECT_EQ(results, (std::vector<bool>{true, true, true}));
    EXPECT_FALSE(flag->load());
}

// A reader that stopped reading: the pipe on standard output (or standard error) is full and
// the worker blocks in its write. stop() must still end the worker within a bound, and no byte
// may follow the write it cut short (on Linux a chunk write is atomic: only whole chunks).
TEST(StandardOutput, StopEndsAWriteBlockedOnAFullPipe) {
    struct Case {
        const char* name;
        int fd;             // the stream whose reader stopped reading
        bool diagnostics;   // the worker's diagnostic line is the blocked write
        std::size_t frames; // audio pushed
    };
    // Three seconds of audio are far more than a pipe holds; a fifth of a second fits.
    const Case cases[] = {{"standard output full", STDOUT_FILENO, false, 48000 * 3},
                          {"standard error full", STDERR_FILENO, true, 48000 / 5}};
    for (const Case& c : cases) {
        std::atomic<bool> entered{false};
        bool blocked = false, stopped_in_time = false;
        std::chrono::milliseconds took{0};
        std::string received;
        {
            Redirect out(STDOUT_FILENO);
            std::optional<Redirect> err;
            if (c.fd == STDERR_FILENO) err.emplace(STDERR_FILENO);
            Redirect& stream = err ? *err : out;
            if (c.fd == STDERR_FILENO) {
                // Fill the pipe first; the worker's first line then finds no room.
                ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK);
                const std::string filler(4096, 'x');
                while (::write(c.fd, filler.data(), filler.size()) > 0) {
                }
                ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) & ~O_NONBLOCK);
            }
            WorkerHooks hooks = standard_worker_hooks();
            hooks.diagnostics_enabled = c.diagnostics;
            const auto line = hooks.write_line;
            hooks.write_line = [&entered, line](const std::string& text) {
                entered.store(true);
                line(text);
            };
            auto flag = std::make_shared<std::atomic<bool>>(false);
            auto worker = start_capture_worker_with(2, 48000, 1024, flag, std::move(hooks));
            if (worker) {
                const auto input = audio(c.frames);
                worker->push_samples(input.data(), input.size());
                for (auto deadline = std::chrono::steady_clock::now() + 10s;
                     !blocked && std::chrono::steady_clock::now() < deadline;) {
                    pollfd p{c.fd, POLLOUT, 0};
                    blocked = (c.fd == STDERR_FILENO ? entered.load() : ::poll(&p, 1, 0) == 0);
                    if (!blocked) std::this_thread::sleep_for(1ms);
                }
                const auto started = std::chrono::steady_clock::now();
                auto stopping = std::async(std::launch::async, [&worker] { worker->stop(); });
                stopped_in_time = stopping.wait_for(5s) == std::future_status::ready;
                took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
                // A worker that did not stop is let go by reading the pipe empty.
                while (stopping.wait_for(1ms) != std::future_status::ready) received += stream.drain();
                received += stream.drain();
            }
        }
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(blocked) << "the worker never filled the pipe";
        EXPECT_TRUE(stopped_in_time) << "stop() waited on the blocked write";
        EXPECT_LT(took, 1000ms);
        if (c.fd == STDOUT_FILENO) {
            EXPECT_GT(received.size(), 0u);
            EXPECT_EQ(received.size() % 1920, 0u) << "only whole chunks";
        }
        std::printf("%s: stop() took %lld ms\n", c.name, static_cast<long long>(took.count()));
    }
}

TEST(WorkerThread, IsNamedTamselCapture) {
    WorkerHooks hooks = standard_worker_hooks();
    std::string name;
    hooks.on_worker_start = [&name](const std::atomic<bool>&) {
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name = buffer;
    };
    auto worker = start_capture_worker_with(2, 48000, 32, std::make_shared<std::atomic<bool>>(false), std::move(hooks));
    ASSERT_TRUE(worker);
    worker->stop();
    EXPECT_EQ(name, "tamsel-capture");
}

// The variable is read once, at start: defined (even empty) gives a line after a second;
// undefined gives none, even when it is defined later.
TEST(DiagnosticsVariable, IsReadOnceAtStart) {
    struct Case {
        bool defined_at_start;
        const char* expected;
    };
    const Case cases[] = {
        {true, "TAMSEL_CAPTURE rate=48000 channels=2 accepted_frames=0 dropped_frames=0 discontinuities=0\n"},
        {false, ""},
    };
    for (const Case& c : cases) {
        if (c.defined_at_start) {
            ::setenv(DIAGNOSTICS_VARIABLE, "", 1);
        } else {
            ::unsetenv(DIAGNOSTICS_VARIABLE);
        }
        std::string lines;
        {
            Redirect err(STDERR_FILENO);
            auto worker = start_capture_worker(2, 48000, 32, std::make_shared<std::atomic<bool>>(false));
            if (worker) {
                if (!c.defined_at_start) ::setenv(DIAGNOSTICS_VARIABLE, "1", 1);
                std::this_thread::sleep_for(1500ms);
                worker->stop();
                lines = err.drain();
            }
        }
        ::unsetenv(DIAGNOSTICS_VARIABLE);
        EXPECT_EQ(lines, c.expected) << (c.defined_at_start ? "defined" : "undefined");
    }
}

}  // namespace
}  // namespace tamsel::capture
