#pragma once
// The capture pipeline: interleaved float audio from the capture thread crosses a lock-free
// single-producer/single-consumer queue to the worker thread "tamsel-capture", which cuts it
// into 20 ms chunks, converts each to mono s16le and writes it to standard output.
//
// Calling order: start_capture_worker; from the capture thread mark_discontinuity (when the
// source reports a gap) and push_samples for each packet; at the end release_producer, then
// stop (destroying the handle stops it too).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tamsel/audio/result.hpp"

namespace tamsel::capture {

// Statistics shared by the capture thread, the worker and the handle. Each counter only grows,
// by relaxed atomic adds; all of them count frames except `discontinuities`.
struct CaptureCounters {
    std::atomic<std::uint64_t> accepted_frames{0};  // frames placed in the sample queue
    std::atomic<std::uint64_t> dropped_frames{0};   // frames handed to push_samples that never got queued
    std::atomic<std::uint64_t> discontinuities{0};  // gaps reported through mark_discontinuity
};

// Set by the worker (release) when a chunk cannot be converted or written; read by the packet
// loop (acquire). Once set it stays set.
using OutputFailedFlag = std::shared_ptr<std::atomic<bool>>;

class CaptureWorker;

// Validates the format (1..1024 channels, a non-zero rate and capacity), allocates the queue
// once, reads TAMSEL_AUDIO_DIAGNOSTICS once and starts the worker thread "tamsel-capture",
// which writes chunks to standard output and diagnostic lines to standard error.
// Fails with "invalid capture format or capacity", "capture buffers: out of memory" or
// "capture worker: {system text} (os error {code})".
Result<CaptureWorker> start_capture_worker(std::uint16_t channels, std::uint32_t sample_rate,
                                           std::size_t queue_capacity, OutputFailedFlag output_failed);

class CaptureWorker {
public:
    struct Impl;
    // Built by start_capture_worker only (Impl is private to the library).
    explicit CaptureWorker(std::unique_ptr<Impl> impl) noexcept;

    CaptureWorker(CaptureWorker&&) noexcept;
    CaptureWorker& operator=(CaptureWorker&&) noexcept;
    CaptureWorker(const CaptureWorker&) = delete;
    CaptureWorker& operator=(const CaptureWorker&) = delete;
    ~CaptureWorker();  // stops the worker when stop() was not called

    // Capture thread only. Never blocks, never allocates, takes no lock. `sample_count` counts
    // the samples of all channels. Returns the frames placed in the queue by this call; 0 after
    // stop or release_producer, for a call that is not a whole number of frames (refused, its
    // whole frames counted as dropped) and for 0 samples.
    std::size_t push_samples(const float* samples, std::size_t sample_count) noexcept;
    // Capture thread only: a gap reported by the source. The partial chunk the worker holds is
    // discarded and no chunk spans the gap.
    void mark_discontinuity() noexcept;
    // Capture thread only: frames that pushes can queue now without a drop (free slots times the
    // whole frames of a piece; a push of n frames takes ceil(n / frames per piece) slots). It only
    // grows until the next push, as the worker frees slots. 0 after stop or release_producer.
    // Lock-free, like push_samples: a source that holds a backlog hands over only this much.
    std::size_t queue_room_frames() const noexcept;
    // Destroys the producer end of the queue; pushes afterwards return 0 and count nothing.
    void release_producer() noexcept;
    // Clears the running flag and joins the worker thread. Idempotent. Queued and pending
    // samples that the worker has not written by then are discarded.
    void stop() noexcept;

    // Null while the worker is sound. When its body ended by an exception (memory exhaustion
    // while it ran), the worker has set output_failed, so the packet loop ends, and this gives
    // the reason: "capture worker: out of memory" or "capture worker: unexpected failure".
    const char* failure() const noexcept;

    const CaptureCounters& counters() const noexcept;
    // Frame position of the next frame the source delivers: advances over queued, dropped,
    // refused and gap frames alike. Capture thread only.
    std::uint64_t next_frame() const noexcept;

private:
    std::unique_ptr<Impl> impl_;
};

// Mono s16le bytes of interleaved float frames: sum in channel order from -0.0f, divide by the
// channel count, clamp to [-1, 1] (NaN passes), scale by 32767, truncate toward zero (NaN gives
// 0) and saturate. Fails with "incomplete audio frame" when `channels` is 0 or `sample_count`
// is not a multiple of it.
Result<std::vector<std::uint8_t>> convert_chunk(const float* samples, std::size_t sample_count,
                                                std::uint16_t channels);

}  // namespace tamsel::capture
