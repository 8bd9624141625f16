#pragma once
// The one clock of the capture pipeline. The producer stamps each push with it and the worker
// reads it for its waits and the diagnostic line, so both must read the same clock: tests give
// both one fake clock through WorkerHooks::clock.

#include <chrono>

namespace tamsel::capture {

using MonotonicClock = std::chrono::steady_clock;

// A plain function, not a std::function: the producer calls it once per push on the real-time
// path, where nothing may allocate or lock (reading the monotonic clock does neither: a counter
// read in user mode on Linux and Windows alike).
using ClockRead = MonotonicClock::time_point (*)() noexcept;

inline MonotonicClock::time_point monotonic_now() noexcept { return MonotonicClock::now(); }

}  // namespace tamsel::capture
