#include "tamsel/audio/entry_guard.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "tamsel/audio/platform.hpp"

namespace tamsel {
namespace {

// The report of the entry that is running, and whether the program has begun to end, by the
// entry's return or by fail_program: whoever claims the end first gives the exit code.
std::atomic<const FailureReport*> running_report{nullptr};
std::atomic<bool> ending{false};
// The thread that claimed the end: a failure it meets afterwards (inside the report, or in what
// runs after the entry returned) cannot wait for an end only it can bring. An atomic, not a
// thread_local: fail_program runs inside the delay-load helper's failure hook, where the first
// touch of a thread_local hangs the ARM64 programs (zig's mingw runtime) under Wine.
std::atomic<std::thread::id> ending_thread{};

bool this_thread_ends_the_program() noexcept {
    return ending_thread.load(std::memory_order_acquire) == std::this_thread::get_id();
}

[[noreturn]] void wait_for_the_end() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// failure.report(message()), or the fixed line and 1 when either of them throws.
template <class Message>
int report_or_fixed_line(const FailureReport& failure, const Message& message) noexcept {
    try {
        return failure.report(message());
    } catch (...) {
    }
    write_stderr_line(failure.fixed_line);
    return 1;
}

}  // namespace

int run_guarded(const std::function<int()>& entry, const FailureReport& failure) noexcept {
    ending.store(false, std::memory_order_release);
    ending_thread.store(std::thread::id{}, std::memory_order_release);
    running_report.store(&failure, std::memory_order_release);
    int code = 1;
    try {
        code = entry();
    } catch (const std::exception& error) {
        code = report_or_fixed_line(failure, [&error] { return std::string("internal error: ") + error.what(); });
    } catch (...) {
        code = report_or_fixed_line(failure, [] { return std::string("internal error"); });
    }
    // A failure on another thread that already ends the program keeps its own exit code.
    if (ending.exchange(true, std::memory_order_acq_rel)) wait_for_the_end();
    ending_thread.store(std::this_thread::get_id(), std::memory_order_release);
    running_report.store(nullptr, std::memory_order_release);
    return code;
}

void fail_program(std::string_view context, std::uint32_t code) noexcept {
    if (this_thread_ends_the_program()) std::_Exit(1);
    if (ending.exchange(true, std::memory_order_acq_rel)) wait_for_the_end();
    ending_thread.store(std::this_thread::get_id(), std::memory_order_release);
    int exit_code = 1;
    if (const FailureReport* failure = running_report.load(std::memory_order_acquire)) {
        exit_code = report_or_fixed_line(*failure, [&] {
            if (failure->system_error) return failure->system_error(context, code);
            return std::string(context) + ": " + os_error_text(static_cast<std::int32_t>(code));
        });
    }
    std::_Exit(exit_code);
}

}  // namespace tamsel
