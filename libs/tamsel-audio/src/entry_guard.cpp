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
// This thread claimed the end: a failure it meets afterwards (inside the report, or in what runs
// after the entry returned) cannot wait for an end only it can bring.
thread_local bool ends_here = false;

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
    ends_here = true;
    running_report.store(nullptr, std::memory_order_release);
    return code;
}

void fail_program(std::string_view context, std::uint32_t code) noexcept {
    if (ends_here) std::_Exit(1);
    if (ending.exchange(true, std::memory_order_acq_rel)) wait_for_the_end();
    ends_here = true;
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
