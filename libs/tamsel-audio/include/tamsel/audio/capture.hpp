#pragma once
// The capture pipeline: interleaved float audio from the capture thread crosses a lock-free
// single-producer/single-consumer queue to the worker thread "tamsel-capture", which cuts it
// into 20 ms chunks, converts each to mono s16le and writes it to standard output.
//
// Interface sketch; the implementation lives in src/capture/.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tamsel/audio/result.hpp"

namespace tamsel::capture {

// Statistics shared by the capture thread, the worker and the handle. Relaxed atomic adds.
struct CaptureCounters {
    std::atomic<std::uint64_t> accepted_frames{0};
    std::atomic<std::uint64_t> dropped_frames{0};
    std::atomic<std::uint64_t> discontinuities{0};
};

using OutputFailedFlag = std::shared_ptr<std::atomic<bool>>;

class CaptureWorker;

// Validates the format, allocates the queue once, reads TAMSEL_AUDIO_DIAGNOSTICS once and
// starts the worker thread. Fails with "invalid capture format or capacity" or
// "capture worker: {system text} (os error {code})".
Result<CaptureWorker> start_capture_worker(std::uint16_t channels, std::uint32_t sample_rate,
                                           std::size_t queue_capacity, OutputFailedFlag output_failed);

class CaptureWorker {
public:
    CaptureWorker(CaptureWorker&&) noexcept;
    CaptureWorker& operator=(CaptureWorker&&) noexcept;
    ~CaptureWorker();  // stops the worker when stop() was not called

    // Capture thread only. Never blocks, never allocates, takes no lock. Returns the frames
    // placed in the queue by this call.
    std::size_t push_samples(const float* samples, std::size_t sample_count) noexcept;
    // Capture thread only: a gap reported by the source.
    void mark_discontinuity() noexcept;
    // Destroys the producer end of the queue; nothing can be pushed afterwards.
    void release_producer() noexcept;
    // Clears the running flag and joins the worker thread. Idempotent.
    void stop() noexcept;

    const CaptureCounters& counters() const noexcept;

    struct Impl;

private:
    explicit CaptureWorker(std::unique_ptr<Impl> impl);
    friend Result<CaptureWorker> start_capture_worker(std::uint16_t, std::uint32_t, std::size_t, OutputFailedFlag);
    std::unique_ptr<Impl> impl_;
};

// Mono s16le bytes of interleaved float frames: sum in channel order from -0.0f, divide by the
// channel count, clamp to [-1, 1] (NaN passes), scale by 32767, truncate (NaN gives 0).
// Fails with "incomplete audio frame".
Result<std::vector<std::uint8_t>> convert_chunk(const float* samples, std::size_t sample_count,
                                                std::uint16_t channels);

}  // namespace tamsel::capture
