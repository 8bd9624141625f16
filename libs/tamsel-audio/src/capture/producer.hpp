#pragma once
// The producer half of the capture pipeline: cutting pushed samples into queue pieces and the
// frame accounting. Runs on the capture thread: no lock, no allocation, no virtual call.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sample_queue.hpp"
#include "tamsel/audio/capture.hpp"

namespace tamsel::capture {

struct ProducerState {
    std::uint16_t channels = 1;
    std::uint64_t next_frame = 0;  // position of the next frame the source delivers
    ClockRead clock = &monotonic_now;  // stamps each push, for the worker's idle wait
};

// The largest whole number of frames' samples that fits in one piece (1024 for 1, 2 or 1024
// channels, 1023 for 3).
constexpr std::size_t piece_max_samples(std::uint16_t channels) noexcept {
    return PIECE_SAMPLES - PIECE_SAMPLES % channels;
}

// Cuts `sample_count` interleaved samples into pieces of piece_max_samples (the last takes the
// rest), each stamped with the time the push began, and tries to queue each; a piece that finds the queue full is dropped and counted at
// once, and later pieces try again. A call that is not a whole number of frames (or has no
// samples to read) is refused whole: its whole frames count as dropped and as positions. Adds
// the accepted frames to `accepted_frames` with one atomic add and returns them.
//
// `Queue` is SampleQueue in the pipeline (a template so tests can script a queue that fills at
// chosen moments, without a virtual call on the real path).
template <class Queue>
std::size_t push_pieces(Queue& queue, ProducerState& state, CaptureCounters& counters, const float* samples,
                        std::size_t sample_count) noexcept {
    const std::size_t channels = state.channels;
    if (sample_count % channels != 0 || (samples == nullptr && sample_count != 0)) {
        const std::size_t frames = sample_count / channels;
        if (frames != 0) counters.dropped_frames.fetch_add(frames, std::memory_order_relaxed);
        state.next_frame += frames;
        return 0;
    }
    const std::size_t piece_max = piece_max_samples(state.channels);
    const MonotonicClock::time_point pushed_at = sample_count != 0 ? state.clock() : MonotonicClock::time_point{};
    std::size_t accepted = 0;
    for (std::size_t offset = 0; offset < sample_count;) {
        const std::size_t left = sample_count - offset;
        const std::size_t m = left < piece_max ? left : piece_max;
        const std::size_t frames = m / channels;
        if (SamplePiece* slot = queue.try_claim()) {
            slot->start_frame = state.next_frame;
            slot->sample_count = m;
            slot->pushed_at = pushed_at;
            std::memcpy(slot->samples, samples + offset, m * sizeof(float));
            if (m < PIECE_SAMPLES) std::memset(slot->samples + m, 0, (PIECE_SAMPLES - m) * sizeof(float));
            queue.publish();
            accepted += frames;
        } else {
            counters.dropped_frames.fetch_add(frames, std::memory_order_relaxed);
        }
        state.next_frame += frames;
        offset += m;
    }
    if (accepted != 0) counters.accepted_frames.fetch_add(accepted, std::memory_order_relaxed);
    return accepted;
}

// A gap reported by the source: one frame position that stands for no audio.
inline void mark_gap(ProducerState& state, CaptureCounters& counters) noexcept {
    state.next_frame += 1;
    counters.discontinuities.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tamsel::capture
