// Measures the timer of the capture worker's idle waits (IdleTimer) with 2 ms waits, the scale
// of its short polls, on this system, next to a plain 2 ms sleep, and prints the distribution of how long each wait really lasted (for
// the report of a run under Wine or on a real Windows machine). Only what holds on a loaded
// machine too is asserted: no wait ends early.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "tamsel/audio/platform.hpp"

namespace tamsel {
namespace {

using namespace std::chrono_literals;

struct Distribution {
    double p50 = 0, p90 = 0, p99 = 0, max = 0, mean = 0;
};

Distribution distribution(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))]; };
    Distribution d;
    d.p50 = at(0.50);
    d.p90 = at(0.90);
    d.p99 = at(0.99);
    d.max = ms.back();
    for (const double v : ms) d.mean += v;
    d.mean /= static_cast<double>(ms.size());
    return d;
}

// How long each of `count` calls of `wait` lasted, in milliseconds.
std::vector<double> measure(int count, const std::function<void()>& wait) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        LARGE_INTEGER before{}, after{};
        QueryPerformanceCounter(&before);
        wait();
        QueryPerformanceCounter(&after);
        ms.push_back(static_cast<double>(after.QuadPart - before.QuadPart) * 1000.0 /
                     static_cast<double>(frequency.QuadPart));
    }
    return ms;
}

void print(const char* what, int count, const Distribution& d) {
    std::printf("%-34s n=%4d  p50=%6.3f ms  p90=%6.3f ms  p99=%6.3f ms  max=%7.3f ms  mean=%6.3f ms\n", what, count,
                d.p50, d.p90, d.p99, d.max, d.mean);
    std::fflush(stdout);
}

TEST(IdleWait, DurationOfTwoMillisecondWaits) {
    constexpr int WAITS = 1000;
    IdleTimer timer;
    std::printf("idle timer: %s\n", timer.high_resolution() ? "high-resolution waitable timer"
                                                            : "ordinary waitable timer (no high resolution here)");
    const std::vector<double> idle = measure(WAITS, [&] { timer.wait(2ms); });
    print("IdleTimer::wait(2 ms)", WAITS, distribution(idle));

    // What the worker did before, for comparison.
    constexpr int SLEEPS = 200;
    const std::vector<double> sleeps = measure(SLEEPS, [] { std::this_thread::sleep_for(2ms); });
    print("std::this_thread::sleep_for(2 ms)", SLEEPS, distribution(sleeps));
    const std::vector<double> plain = measure(SLEEPS, [] { Sleep(2); });
    print("Sleep(2)", SLEEPS, distribution(plain));

    // A wait may last longer when the machine is busy, never shorter (less the timer's rounding).
    EXPECT_GE(*std::min_element(idle.begin(), idle.end()), 1.5) << "an idle wait ended early";
}

}  // namespace
}  // namespace tamsel
