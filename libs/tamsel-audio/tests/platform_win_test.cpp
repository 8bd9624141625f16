// The Windows platform layer under Wine: a thread whose resume fails, standard output handles
// that are no handles, the cause of a failed write, the one message-table lookup, the idle
// timer on each of its paths, and the one kernel-handle owner.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "open_handles_win.hpp"
#include "tamsel/audio/capture.hpp"
#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/windows/message_table.hpp"
#include "tamsel/audio/windows/unique_handle.hpp"
#include "thread_start_win.hpp"

namespace tamsel {
namespace {

using namespace std::chrono_literals;

DWORD WINAPI refuse_resume(HANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return static_cast<DWORD>(-1);
}

TEST(NamedThreadWin, AResumeThatFailsLeavesNoThreadToWaitFor) {
    std::atomic<bool> ran{false};
    const std::size_t handles_before = test_support::thread_handles();
    Result<std::shared_ptr<NamedThread::State>> state =
        win::start_thread_state("tamsel-test", [&ran] { ran = true; }, &refuse_resume);
    ASSERT_FALSE(state) << "a thread that never runs must not be handed out: joining it would wait for ever";
    EXPECT_EQ(state.error(), os_error_text(ERROR_ACCESS_DENIED));
    EXPECT_EQ(test_support::thread_handles(), handles_before) << "the suspended thread's handle is closed";
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ran.load()) << "the body never runs";
}

TEST(NamedThreadWin, TheRealResumeStartsTheBody) {
    std::atomic<bool> ran{false};
    Result<NamedThread> thread = start_named_thread("tamsel-test", [&ran] { ran = true; });
    ASSERT_TRUE(thread) << thread.error();
    thread->join();
    EXPECT_TRUE(ran.load());
}

// Puts `handle` in place of standard output for the length of one test step.
class StdoutReplaced {
public:
    explicit StdoutReplaced(HANDLE handle) : saved_(GetStdHandle(STD_OUTPUT_HANDLE)) {
        SetStdHandle(STD_OUTPUT_HANDLE, handle);
    }
    ~StdoutReplaced() { SetStdHandle(STD_OUTPUT_HANDLE, saved_); }
    StdoutReplaced(const StdoutReplaced&) = delete;
    StdoutReplaced& operator=(const StdoutReplaced&) = delete;

private:
    HANDLE saved_;
};

HANDLE closed_handle_value() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(event);
    return event;
}

TEST(StandardOutputWin, AValueThatIsNoHandleIsNoStandardOutput) {
    struct Case {
        const char* name;
        HANDLE handle;
    };
    const Case cases[] = {
        {"null", nullptr},
        {"INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE},
        {"closed", closed_handle_value()},
        {"garbage", reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7FF0))},
    };
    const char bytes[] = "pcm";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const StdoutReplaced replaced(c.handle);
        EXPECT_EQ(write_stdout(bytes, sizeof bytes), 0);
        EXPECT_TRUE(write_stdout_bytes(bytes, sizeof bytes));
    }
}

TEST(StandardOutputWin, CaptureGoesOnWithoutAValidStandardOutput) {
    const StdoutReplaced replaced(closed_handle_value());
    auto output_failed = std::make_shared<std::atomic<bool>>(false);
    Result<capture::CaptureWorker> worker = capture::start_capture_worker(2, 48000, 32, output_failed);
    ASSERT_TRUE(worker) << worker.error();
    std::vector<float> samples(1920, 0.25f);  // one chunk
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(worker->push_samples(samples.data(), samples.size()), 960u);
        std::this_thread::sleep_for(20ms);
    }
    worker->release_producer();
    worker->stop();
    EXPECT_FALSE(output_failed->load()) << "writing to no standard output is not an output failure";
    EXPECT_EQ(worker->failure(), nullptr);
}

TEST(StandardOutputWin, AFailedWriteGivesTheSystemsCode) {
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
    CloseHandle(read_end);  // nobody will ever read
    const StdoutReplaced replaced(write_end);
    const char bytes[] = "[]";
    const std::int32_t error = write_stdout(bytes, 2);
    CloseHandle(write_end);
    EXPECT_TRUE(error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) << error;
}

TEST(MessageTableWin, AModulesTableAloneNeverTheSystems) {
    // The system table knows ERROR_FILE_NOT_FOUND (2).
    EXPECT_FALSE(win::message_table_text(ERROR_FILE_NOT_FOUND).empty());
    EXPECT_EQ(system_message(ERROR_FILE_NOT_FOUND), win::message_table_text(ERROR_FILE_NOT_FOUND));
    // Our own program has no message table at all: no text, not the system's text for 2.
    EXPECT_EQ(win::message_table_text(ERROR_FILE_NOT_FOUND, GetModuleHandleW(nullptr)), "");
    // No trailing line break.
    const std::string text = win::message_table_text(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');
}

// The flags each timer creation was asked for, in order.
std::vector<std::uint32_t> g_timer_requests;

void* system_timer(std::uint32_t flags) noexcept {
    g_timer_requests.push_back(flags);
    return CreateWaitableTimerExW(nullptr, nullptr, flags, TIMER_ALL_ACCESS);
}
void* no_high_resolution(std::uint32_t flags) noexcept {
    if (flags == 0) return system_timer(flags);
    g_timer_requests.push_back(flags);
    return nullptr;
}
void* no_timer(std::uint32_t flags) noexcept {
    g_timer_requests.push_back(flags);
    return nullptr;
}

// Whatever timer the system gives (high-resolution, ordinary, none: a plain sleep), every wait
// lasts at least what was asked, less a little for the timer's own rounding; a loaded machine
// only makes waits longer. Without the high-resolution timer the fall-back is taken.
TEST(IdleTimerWin, EachWaitLastsWhatWasAskedOnEveryPath) {
    constexpr std::uint32_t HIGH_RESOLUTION = 0x00000002;
    struct Case {
        const char* name;
        IdleTimer::CreateTimer create;
        bool high_resolution;
        std::vector<std::uint32_t> requests;
    };
    const Case cases[] = {
        {"high-resolution timer", &system_timer, true, {HIGH_RESOLUTION}},
        {"ordinary timer", &no_high_resolution, false, {HIGH_RESOLUTION, 0}},
        {"no timer at all", &no_timer, false, {HIGH_RESOLUTION, 0}},
    };
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_timer_requests.clear();
        IdleTimer timer(c.create);
        EXPECT_EQ(timer.high_resolution(), c.high_resolution);
        EXPECT_EQ(g_timer_requests, c.requests);
        for (const auto period : {2000us, 5000us}) {
            double shortest_ms = 1e9;
            for (int i = 0; i < 20; ++i) {
                LARGE_INTEGER before{}, after{};
                QueryPerformanceCounter(&before);
                timer.wait(period);
                QueryPerformanceCounter(&after);
                shortest_ms = std::min(shortest_ms, static_cast<double>(after.QuadPart - before.QuadPart) * 1000.0 /
                                                        static_cast<double>(frequency.QuadPart));
            }
            EXPECT_GE(shortest_ms, static_cast<double>(period.count()) / 1000.0 - 0.5) << period.count() << " us";
        }
    }
}

// Each kind of handle has its own "none": its owner is empty with it, whether it came through
// the constructor or through reset(), and closes a real handle when it takes another value.
template <typename Traits>
void expect_owner_of_kind(HANDLE none, HANDLE (*open)()) {
    EXPECT_FALSE(win::ScopedHandle<Traits>()) << "default";
    EXPECT_FALSE(win::ScopedHandle<Traits>(none)) << "constructed with none";
    win::ScopedHandle<Traits> owner(open());
    ASSERT_TRUE(owner);
    const HANDLE first = owner.get();
    owner.reset(open());
    ASSERT_TRUE(owner);
    EXPECT_FALSE(test_support::handle_is_open(first)) << "the handle it held is closed";
    const HANDLE second = owner.get();
    owner.reset(none);
    EXPECT_FALSE(owner) << "reset to none";
    EXPECT_EQ(owner.get(), none);
    EXPECT_FALSE(test_support::handle_is_open(second));
}

TEST(ScopedHandleWin, EachKindKnowsItsOwnNone) {
    {
        SCOPED_TRACE("event (null is none)");
        expect_owner_of_kind<win::NullHandleTraits>(nullptr, [] { return CreateEventW(nullptr, FALSE, FALSE, nullptr); });
    }
    {
        SCOPED_TRACE("snapshot (INVALID_HANDLE_VALUE is none)");
        expect_owner_of_kind<win::FileHandleTraits>(INVALID_HANDLE_VALUE,
                                                    [] { return CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0); });
    }
}

}  // namespace
}  // namespace tamsel
