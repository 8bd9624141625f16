#pragma once
// The few operating-system services the portable code needs: named threads, the standard
// streams written whole, the environment, and the system's text for an error code.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tamsel/audio/result.hpp"

namespace tamsel {

// A joinable thread that carries a name the debugger and the system tools show.
class NamedThread {
public:
    NamedThread() = default;
    NamedThread(NamedThread&&) noexcept = default;
    NamedThread& operator=(NamedThread&&) noexcept;
    NamedThread(const NamedThread&) = delete;
    NamedThread& operator=(const NamedThread&) = delete;
    // Joins a thread that was not joined or detached yet.
    ~NamedThread();

    bool joinable() const noexcept { return state_ != nullptr; }
    void join();
    // Joins, and meanwhile cuts short a synchronous write the thread is blocked in. Windows:
    // CancelSynchronousIo, again every 10 ms until the thread has ended, because a cancel that
    // comes just before the thread enters its write finds nothing to cancel (the thread must
    // look at its WriteStop before each write). POSIX: a plain join; there the writes wait on
    // their WriteStop themselves.
    void join_cancelling_io();
    // Lets go of the thread without waiting for it; its state is freed when it ends.
    void detach();

    struct State;

private:
    friend Result<NamedThread> start_named_thread(std::string_view, std::function<void()>);
    explicit NamedThread(std::shared_ptr<State> state) : state_(std::move(state)) {}
    // Shared with the running thread, so a detached thread keeps its state alive until it ends.
    std::shared_ptr<State> state_;
};

// Starts `body` on a new thread with the platform's default stack size and the given name
// (on Linux the kernel keeps only the first 15 bytes). A failure gives the system's text in
// the form of os_error_text.
Result<NamedThread> start_named_thread(std::string_view name, std::function<void()> body);

class WriteStop;

// Waits that last what they are asked for, and end early when another thread raises a stop.
// On Windows a plain sleep lasts until the next timer tick (15.6 ms by default), so a 1 ms
// wait would take up to sixteen times as long: the timer is a high-resolution waitable timer
// (CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, Windows 10 1803 on), or an ordinary waitable timer
// where the system lacks it, created once and then reused. On Linux the wait is a poll of the
// stop's eventfd with the period as its timeout, which is already precise. One thread creates
// and uses it.
class IdleTimer {
public:
    IdleTimer() noexcept;
#if defined(_WIN32)
    // Makes a waitable timer with CreateWaitableTimerExW's flags, or gives null. The default is
    // the system's; a test passes one that refuses, to take the fall-back paths.
    using CreateTimer = void* (*)(std::uint32_t flags) noexcept;
    explicit IdleTimer(CreateTimer create) noexcept;
#endif
    ~IdleTimer();
    IdleTimer(const IdleTimer&) = delete;
    IdleTimer& operator=(const IdleTimer&) = delete;

    // Blocks the calling thread for `period` (on the timer, or with a plain sleep when the
    // system gave no timer at all), or until `stop` is raised, whichever comes first. A stop
    // raised before the call, or a period of zero or less, returns at once.
    void wait(std::chrono::nanoseconds period, const WriteStop* stop = nullptr) noexcept;
    // False where the system offers no timer finer than its tick (the ordinary-timer fallback).
    bool high_resolution() const noexcept { return high_resolution_; }

private:
    void* timer_ = nullptr;  // Windows: the waitable timer's HANDLE
    bool high_resolution_ = false;
};

// Lets one thread end another thread's writes to the standard streams and its idle waits: once
// raised, a write given this stop starts no further write call, and on Linux a write waiting
// for room in a full pipe returns at once (it polls an eventfd beside the stream). On Windows a
// write that is already blocked is cancelled by NamedThread::join_cancelling_io. An
// IdleTimer::wait given this stop ends (Linux: the eventfd; Windows: a manual-reset event).
// Raised once, it stays raised. A write cut short may leave part of its bytes written; none
// follow them.
class WriteStop {
public:
    WriteStop() noexcept;
    ~WriteStop();
    WriteStop(const WriteStop&) = delete;
    WriteStop& operator=(const WriteStop&) = delete;

    void raise() noexcept;  // any thread
    bool raised() const noexcept { return raised_.load(std::memory_order_acquire); }
    int event_fd() const noexcept { return event_fd_; }  // POSIX: -1 when none could be made
    void* event() const noexcept { return event_; }      // Windows: the event's HANDLE, or null

private:
    std::atomic<bool> raised_{false};
    int event_fd_ = -1;
    void* event_ = nullptr;
};

// "{system message without trailing white space} (os error {code})", code in decimal.
std::string os_error_text(std::int32_t code);

// The system's message for an operating-system error code (errno on Linux, a Win32 error
// on Windows), trailing white space removed; empty when the system has none.
std::string system_message(std::int32_t code);

// Writes one complete line (the caller includes the "\n") to standard error in one write.
// A missing standard error is not an error: the line goes nowhere. With a stop, the write ends
// early once it is raised (WriteStop).
void write_stderr_line(std::string_view line, const WriteStop* stop = nullptr);

// Writes all bytes to standard output without any translation. Gives 0 when every byte was
// written, or when the process has no standard output at all (none, closed, or a value that is
// no handle: the bytes go nowhere); otherwise the system's error code of the failed write
// (errno on Linux, the Win32 error on Windows). With a stop, the write ends early once it is
// raised: ECANCELED on Linux, ERROR_OPERATION_ABORTED on Windows.
std::int32_t write_stdout(const void* data, std::size_t size, const WriteStop* stop = nullptr);

// write_stdout, for callers that need no reason: true when it gave 0.
inline bool write_stdout_bytes(const void* data, std::size_t size) { return write_stdout(data, size) == 0; }

// True when the environment variable is defined, whatever its value (the empty value too).
bool environment_defined(const char* name);

#if defined(_WIN32)
// The arguments of this process as the system passed them: the Unicode command line
// (GetCommandLineW) split by the system's rules (CommandLineToArgvW), each converted to UTF-8
// leniently (an unpaired surrogate becomes U+FFFD), the program name first. Every Windows
// program reads its arguments here, so no toolchain-specific Unicode entry point is needed.
// Fails only when the system cannot split the line, with the text of os_error_text.
Result<std::vector<std::string>> command_line_arguments();

// Makes System32 the only folder this process loads DLLs from by name
// (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32): never the program's own folder,
// the working folder or PATH, for LoadLibrary and for the delay-loaded imports alike. The first
// call of each program's entry. Gives 0, or the Win32 error of the failed call.
std::uint32_t restrict_dll_search_to_system32() noexcept;
#endif

}  // namespace tamsel
