#pragma once
// How long the capture worker sleeps when it finds the sample queue empty.
//
// The capture thread never wakes the worker: it must not make a system call on the worker's
// behalf. So the worker polls, and sleeps as long as it can without holding a chunk back:
//
// - Audio arriving. Pieces come in pushes of a steady size at a steady spacing (the engine's
//   10 ms packets on Windows, the sound server's fragments on Linux), and every piece carries the
//   time its push began (SamplePiece::pushed_at). The chunk being assembled needs
//   `frames_needed` more frames, so it cannot be complete before the k-th push after the last
//   one seen, k = ceil(frames_needed / frames per push). Each recent push foretells that push
//   at its own time + (pushes since + k) × spacing; the earliest of these is when it is due, so
//   one push that came late does not make the worker miss the next one that comes on time. The
//   worker sleeps until then plus ARRIVAL_SLACK (the push's own time, and a timer that fires a
//   little late), then polls every IDLE_POLL while the push is up to one spacing late: a chunk
//   leaves within about one poll of its last piece arriving. With 10 ms packets and 20 ms chunks
//   that is one wake per chunk instead of ten.
// - Nothing arriving (nothing plays, or no push has come yet). Once the awaited push is more than
//   one spacing late, every further empty pass doubles the sleep, from IDLE_POLL up to
//   IDLE_CEILING. The first piece found ends the back-off. The ceiling bounds how late the first
//   chunk after a silence can leave; the 32-slot queue holds about 340 ms (32 pieces of at most
//   512 frames; 320 ms of the engine's 10 ms packets), so nothing is dropped meanwhile. At the
//   ceiling the worker wakes five times a second; with the packet loop's four wakes a second
//   (its 250 ms event wait) a capture of silence stays under ten.
// - A diagnostic line due sooner (the caller's deadline) ends the sleep then.
//
// Size and spacing are the medians of the last ARRIVAL_HISTORY pushes, so one push that
// stalled or came bunched with others does not move them. Where they are wrong the error is an
// early wake and a few more polls, or (a source that suddenly speeds up) one late wake, after
// which the polls take over again.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "clock.hpp"

namespace tamsel::capture {

inline constexpr std::chrono::nanoseconds IDLE_POLL = std::chrono::milliseconds(1);
inline constexpr std::chrono::nanoseconds IDLE_CEILING = std::chrono::milliseconds(200);
inline constexpr std::chrono::nanoseconds ARRIVAL_SLACK = std::chrono::microseconds(500);
inline constexpr std::size_t ARRIVAL_HISTORY = 5;

class IdleWaitPolicy {
public:
    using Duration = std::chrono::nanoseconds;
    using TimePoint = MonotonicClock::time_point;

    IdleWaitPolicy(std::uint32_t sample_rate, Duration ceiling = IDLE_CEILING) noexcept
        : sample_rate_(sample_rate == 0 ? 1 : sample_rate), ceiling_(ceiling < IDLE_POLL ? IDLE_POLL : ceiling) {}

    // A piece the worker took: when its push began and its frames. Pieces of one push share
    // their time, and are counted as one push.
    void took(TimePoint pushed_at, std::size_t frames) noexcept;

    // The queue is empty at `now` and the pending chunk needs `frames_needed` more frames (at
    // least 1). How long to sleep; never longer than until `deadline` (passed: zero) and never
    // longer than the ceiling.
    Duration sleep_for(TimePoint now, std::size_t frames_needed, std::optional<TimePoint> deadline = std::nullopt) noexcept;

    // What the estimates are now (for tests and the benchmark's report).
    std::optional<TimePoint> last_push() const noexcept { return last_push_; }
    Duration spacing() const noexcept;
    std::size_t frames_per_push() const noexcept;

private:
    // The last ARRIVAL_HISTORY values, oldest overwritten first.
    template <class T>
    struct History {
        std::array<T, ARRIVAL_HISTORY> values{};
        std::size_t count = 0;
        std::size_t next = 0;
        void add(T value) noexcept;
        T median() const noexcept;  // of what is there; count must not be 0
    };

    std::uint32_t sample_rate_;
    Duration ceiling_;
    std::optional<TimePoint> last_push_;
    std::size_t last_push_frames_ = 0;  // frames of the push at last_push_ seen so far
    History<std::size_t> push_frames_;  // of the pushes before last_push_
    History<Duration> spacings_;        // between the starts of consecutive pushes
    History<TimePoint> push_times_;     // the starts of the last pushes, last_push_ included
    Duration backoff_{0};               // the last back-off sleep; zero outside a back-off
};

}  // namespace tamsel::capture
