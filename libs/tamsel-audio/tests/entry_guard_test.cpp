#include "tamsel/audio/entry_guard.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tamsel/audio/platform.hpp"

namespace tamsel {
namespace {

// A program's report: "PROGRAM {message}" and exit code 7, so a test sees whose line and code
// ended the run.
FailureReport test_report() {
    FailureReport failure;
    failure.report = [](std::string_view message) {
        write_stderr_line("PROGRAM " + std::string(message) + "\n");
        return 7;
    };
    failure.fixed_line = "PROGRAM internal error\n";
    failure.system_error = [](std::string_view context, std::uint32_t code) {
        return std::string(context) + ": system error " + std::to_string(code);
    };
    return failure;
}

TEST(RunGuarded, AnEscapingExceptionIsTheProgramsFailure) {
    const struct {
        const char* name;
        std::function<int()> entry;
        bool report_throws;
        std::string err;
        int code;
    } cases[] = {
        {"no exception", [] { return 3; }, false, "", 3},
        {"std::exception", []() -> int { throw std::runtime_error("first"); }, false, "PROGRAM internal error: first\n", 7},
        {"another type", []() -> int { throw 5; }, false, "PROGRAM internal error\n", 7},
        // When even the report throws, the line formatted beforehand is written.
        {"the report throws too", []() -> int { throw std::runtime_error("first"); }, true, "PROGRAM internal error\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FailureReport failure = test_report();
        if (c.report_throws) failure.report = [](std::string_view) -> int { throw std::bad_alloc(); };
        ::testing::internal::CaptureStderr();
        const int code = run_guarded(c.entry, failure);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(code, c.code);
    }
}

// fail_program ends the process from whatever thread it is called on, through the report of the
// running entry, with that report's exit code: it never returns.
TEST(FailProgramDeathTest, EndsTheProgramThroughItsReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto on_another_thread = [](FailureReport failure) {
        run_guarded(
            [] {
                std::thread([] { fail_program("load newdev.dll", 126); }).join();
                return 0;
            },
            failure);
    };
    FailureReport default_form = test_report();
    default_form.system_error = nullptr;
    FailureReport throwing = test_report();
    throwing.report = [](std::string_view) -> int { throw std::bad_alloc(); };
    const struct {
        const char* name;
        FailureReport failure;
        int code;
        std::string err;
    } cases[] = {
        {"the program's form", test_report(), 7, "PROGRAM load newdev.dll: system error 126\n"},
        {"the default form", default_form, 7, "PROGRAM load newdev.dll: " + os_error_text(126) + "\n"},
        {"a report that throws", throwing, 1, "PROGRAM internal error\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(on_another_thread(c.failure), ::testing::ExitedWithCode(c.code), ::testing::StrEq(c.err));
    }
    // Without an entry there is no report to give: exit code 1 and nothing written.
    EXPECT_EXIT(fail_program("load newdev.dll", 126), ::testing::ExitedWithCode(1), ::testing::StrEq(""));
}

// A failure on the thread that already ends the program cannot wait for that end: one met while
// the failure is reported, or after the entry returned (a static destructor's first call into a
// delay-loaded DLL, say), ends the process at once. (Waiting, it would hang for good.)
TEST(FailProgramDeathTest, AFailureOnTheThreadThatEndsTheProgramEndsItAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto after_the_entry = [] {
        run_guarded([] { return 0; }, test_report());
        fail_program("load newdev.dll", 126);
    };
    const auto within_the_report = [] {
        FailureReport reentering = test_report();
        reentering.report = [](std::string_view) -> int { fail_program("load ole32.dll", 126); };
        run_guarded(
            [] {
                fail_program("load newdev.dll", 126);
                return 0;
            },
            reentering);
    };
    EXPECT_EXIT(after_the_entry(), ::testing::ExitedWithCode(1), ::testing::StrEq(""));
    EXPECT_EXIT(within_the_report(), ::testing::ExitedWithCode(1), ::testing::StrEq(""));
}

// The scheduler state of a thread of this process: 'S' while it sleeps (waits for the end),
// 'R' while it runs.
char thread_state(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t end_of_name = text.rfind(") ");
    return end_of_name == std::string::npos ? '?' : text[end_of_name + 2];
}

// The program ends once. The first failure's report waits until the other party either reports
// too (which must not happen) or waits for the end; only then does it write its line and end the
// process. Other party: a second failing thread, or the entry returning on the main thread.
TEST(FailProgramDeathTest, OnlyTheFirstEndOfTheProgramCounts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto first_failure_waits_for = [](bool entry_returns) {
        std::atomic<int> reports{0};
        std::atomic<pid_t> other{0};
        FailureReport failure = test_report();
        failure.report = [&](std::string_view message) {
            if (reports.fetch_add(1) == 0) {
                if (!entry_returns) {
                    std::thread([&other] {
                        other = static_cast<pid_t>(::gettid());
                        fail_program("second", 2);
                    }).detach();
                }
                while (reports.load() < 2 && !(other.load() != 0 && thread_state(other.load()) == 'S')) {
                    std::this_thread::yield();
                }
            }
            write_stderr_line("PROGRAM " + std::string(message) + "\n");
            return 7;
        };
        run_guarded(
            [&] {
                std::thread first([] { fail_program("first", 1); });
                if (!entry_returns) {
                    first.join();
                    return 0;
                }
                first.detach();
                while (reports.load() == 0) std::this_thread::yield();  // the failure came first
                other = static_cast<pid_t>(::gettid());
                return 0;
            },
            failure);
        std::_Exit(0);
    };
    EXPECT_EXIT(first_failure_waits_for(false), ::testing::ExitedWithCode(7),
                ::testing::StrEq("PROGRAM first: system error 1\n"));
    EXPECT_EXIT(first_failure_waits_for(true), ::testing::ExitedWithCode(7),
                ::testing::StrEq("PROGRAM first: system error 1\n"));
}

}  // namespace
}  // namespace tamsel
