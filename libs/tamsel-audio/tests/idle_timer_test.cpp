// The idle wait and the stop that ends it, on the system's own timer (Linux: the eventfd poll;
// Windows: the waitable timer beside the stop's event). Every case waits an hour unless the stop
// ends it: a wait the stop cannot end fails the case at the watchdog instead of hanging.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "tamsel/audio/platform.hpp"

namespace tamsel {
namespace {

using namespace std::chrono_literals;

// Runs `body` on a thread and gives it a minute to end (a wait of an hour that the stop did not
// end, or a stop that came too soon to be seen). Past that the process ends with the failure.
template <class Body>
void ends_within_a_minute(const char* name, Body body) {
    std::mutex mutex;
    std::condition_variable ended_cv;
    bool ended = false;
    std::thread runner([&] {
        body();
        std::lock_guard lock(mutex);
        ended = true;
        ended_cv.notify_all();
    });
    std::unique_lock lock(mutex);
    if (!ended_cv.wait_for(lock, 60s, [&] { return ended; })) {
        std::fprintf(stderr, "%s: the idle wait was not ended by its stop\n", name);
        std::_Exit(1);
    }
    lock.unlock();
    runner.join();
}

TEST(IdleTimer, ARaisedStopEndsAWaitWhetherRaisedBeforeOrDuringIt) {
    {
        WriteStop stop;
        stop.raise();
        IdleTimer timer;
        ends_within_a_minute("raised before", [&] { timer.wait(1h, &stop); });
    }
    {
        WriteStop stop;
        std::atomic<bool> waiting{false};
        std::thread raiser([&] {
            while (!waiting.load()) std::this_thread::yield();
            std::this_thread::sleep_for(10ms);  // most likely inside the wait by now; either way it ends
            stop.raise();
        });
        ends_within_a_minute("raised during", [&] {
            IdleTimer timer;
            waiting.store(true);
            timer.wait(1h, &stop);
        });
        raiser.join();
    }
    {
        // A stop that is not raised does not end a short wait early.
        WriteStop stop;
        IdleTimer timer;
        const auto before = std::chrono::steady_clock::now();
        timer.wait(2ms, &stop);
        EXPECT_GE(std::chrono::steady_clock::now() - before, 1500us);
    }
}

}  // namespace
}  // namespace tamsel
