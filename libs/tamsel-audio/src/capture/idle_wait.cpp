#include "idle_wait.hpp"

#include <algorithm>
#include <utility>

namespace tamsel::capture {

template <class T>
void IdleWaitPolicy::History<T>::add(T value) noexcept {
    values[next] = value;
    next = (next + 1) % values.size();
    if (count < values.size()) ++count;
}

template <class T>
T IdleWaitPolicy::History<T>::median() const noexcept {
    // An insertion sort of at most ARRIVAL_HISTORY values.
    std::array<T, ARRIVAL_HISTORY> sorted = values;
    for (std::size_t i = 1; i < count; ++i) {
        for (std::size_t j = i; j > 0 && sorted[j] < sorted[j - 1]; --j) std::swap(sorted[j], sorted[j - 1]);
    }
    return sorted[count / 2];
}

void IdleWaitPolicy::took(TimePoint pushed_at, std::size_t frames) noexcept {
    backoff_ = Duration{0};
    if (last_push_ && pushed_at == *last_push_) {
        last_push_frames_ += frames;  // another piece of the same push
        return;
    }
    if (last_push_ && pushed_at > *last_push_) {
        spacings_.add(pushed_at - *last_push_);
        push_frames_.add(last_push_frames_);
    }
    last_push_ = pushed_at;
    last_push_frames_ = frames;
    push_times_.add(pushed_at);
}

std::size_t IdleWaitPolicy::frames_per_push() const noexcept {
    const std::size_t frames = push_frames_.count != 0 ? push_frames_.median() : last_push_frames_;
    return frames == 0 ? 1 : frames;
}

IdleWaitPolicy::Duration IdleWaitPolicy::spacing() const noexcept {
    if (spacings_.count != 0) return spacings_.median();
    // One push seen: a live source delivers its frames in the time they last.
    return std::chrono::duration_cast<Duration>(std::chrono::seconds(1)) * frames_per_push() / sample_rate_;
}

IdleWaitPolicy::Duration IdleWaitPolicy::sleep_for(TimePoint now, std::size_t frames_needed,
                                                   std::optional<TimePoint> deadline) noexcept {
    Duration sleep;
    const auto back_off = [&] {
        backoff_ = backoff_ == Duration{0} ? IDLE_POLL : std::min(2 * backoff_, ceiling_);
        return backoff_;
    };
    if (!last_push_) {
        sleep = back_off();
    } else {
        const std::size_t per_push = frames_per_push();
        const auto pushes = static_cast<std::int64_t>((std::max<std::size_t>(frames_needed, 1) + per_push - 1) / per_push);
        const Duration every = spacing();
        // Past the ceiling the product does not matter (and must not overflow).
        const bool far = every > Duration{0} && pushes > (ceiling_ + every) / every;
        TimePoint due = *last_push_ + (far ? ceiling_ + every : pushes * every);
        if (!far) {
            for (std::size_t back = 1; back < push_times_.count; ++back) {
                const std::size_t slot = (push_times_.next + push_times_.values.size() - 1 - back) % push_times_.values.size();
                due = std::min(due, push_times_.values[slot] + (static_cast<std::int64_t>(back) + pushes) * every);
            }
        }
        due += ARRIVAL_SLACK;
        if (now < due) {
            sleep = due - now;
        } else if (now < due + every && backoff_ == Duration{0}) {
            sleep = IDLE_POLL;  // late, but within one spacing: keep looking closely
        } else {
            sleep = back_off();
        }
    }
    sleep = std::min(sleep, ceiling_);
    if (deadline) sleep = std::min(sleep, std::max(Duration{0}, std::chrono::duration_cast<Duration>(*deadline - now)));
    return sleep;
}

}  // namespace tamsel::capture
