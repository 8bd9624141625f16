#pragma once
// How the worker meets the outside world, so tests can run it on a fake clock and capture its
// output. start_capture_worker uses standard_worker_hooks(): the monotonic clock, the idle
// waits of IdleWaitPolicy on the worker's own IdleTimer (ended early by the stop), standard
// output, standard error and the TAMSEL_AUDIO_DIAGNOSTICS variable.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "chunk_assembler.hpp"
#include "clock.hpp"
#include "idle_wait.hpp"
#include "output.hpp"
#include "tamsel/audio/capture.hpp"
#include "tamsel/audio/platform.hpp"

namespace tamsel::capture {

inline constexpr const char* DIAGNOSTICS_VARIABLE = "TAMSEL_AUDIO_DIAGNOSTICS";
inline constexpr std::string_view WORKER_THREAD_NAME = "tamsel-capture";
// CaptureWorker::failure() after the worker's body ended by an exception.
inline constexpr const char* WORKER_OUT_OF_MEMORY = "capture worker: out of memory";
inline constexpr const char* WORKER_UNEXPECTED_FAILURE = "capture worker: unexpected failure";

struct WorkerHooks {
    // The clock of the producer's stamps, the idle waits and the diagnostic line.
    ClockRead clock = &monotonic_now;
    // When the queue is empty, with the time IdleWaitPolicy chose. Empty: the worker creates one
    // IdleTimer on its thread and waits on it, ended early by write_stop.
    std::function<void(std::chrono::nanoseconds)> idle_sleep;
    // The longest idle wait.
    std::chrono::nanoseconds idle_ceiling = IDLE_CEILING;
    ChunkWriter write_chunk;                    // one converted chunk
    std::function<void(const std::string&)> write_line;  // one diagnostic line, "\n" included
    std::function<Result<NamedThread>(std::string_view, std::function<void()>)> start_thread;
    // Runs on the worker thread before its loop; tests use it to hold the worker back.
    std::function<void(const std::atomic<bool>& running)> on_worker_start;
    // Empty: read TAMSEL_AUDIO_DIAGNOSTICS once at start.
    std::optional<bool> diagnostics_enabled;
    // Raised by stop() before it joins, so a write blocked on a full pipe or an idle wait ends
    // and the worker sees its running flag (the standard writers and the IdleTimer wait on it).
    // Empty: nothing to raise.
    std::shared_ptr<WriteStop> write_stop;
};

WorkerHooks standard_worker_hooks();

Result<CaptureWorker> start_capture_worker_with(std::uint16_t channels, std::uint32_t sample_rate,
                                                std::size_t queue_capacity, OutputFailedFlag output_failed,
                                                WorkerHooks hooks);

}  // namespace tamsel::capture
