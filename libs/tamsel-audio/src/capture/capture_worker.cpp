#include <chrono>
#include <limits>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "producer.hpp"
#include "sample_queue.hpp"
#include "worker.hpp"

namespace tamsel::capture {
namespace {

// Everything the worker thread uses; shared with the thread's body and kept alive by it.
struct WorkerContext {
    WorkerContext(ChunkAssembler chunks, WorkerHooks worker_hooks)
        : assembler(std::move(chunks)), hooks(std::move(worker_hooks)) {}

    std::shared_ptr<SampleQueue> queue;
    std::shared_ptr<std::atomic<bool>> running;
    OutputFailedFlag output_failed;
    std::shared_ptr<CaptureCounters> counters;
    std::uint32_t sample_rate = 0;
    std::uint16_t channels = 0;
    bool diagnostics_enabled = false;
    ChunkAssembler assembler;
    WorkerHooks hooks;
    // Set once, when the worker's body ended by an exception; read by the handle.
    std::atomic<const char*> failure{nullptr};
};

void run_worker(WorkerContext& context) {
    WorkerHooks& hooks = context.hooks;
    if (hooks.on_worker_start) hooks.on_worker_start(*context.running);
    // The idle wait of the standard worker: one timer, created here on the worker thread and
    // used for every idle pass.
    std::optional<IdleTimer> timer;
    if (!hooks.idle_sleep) timer.emplace();
    IdleWaitPolicy idle(context.sample_rate, hooks.idle_ceiling);
    DiagnosticCheck diagnostics(context.diagnostics_enabled, hooks.clock());
    while (context.running->load(std::memory_order_acquire)) {
        if (const std::optional<TakenPiece> taken =
                context.assembler.take_from(*context.queue, *context.running, *context.output_failed, hooks.write_chunk)) {
            idle.took(taken->pushed_at, taken->frames);
        } else {
            const std::chrono::nanoseconds sleep =
                idle.sleep_for(hooks.clock(), context.assembler.frames_needed(), diagnostics.next_due(*context.counters));
            if (timer) {
                timer->wait(sleep, hooks.write_stop.get());
            } else {
                hooks.idle_sleep(sleep);
            }
        }
        const std::string line =
            diagnostics.check(hooks.clock(), *context.counters, context.sample_rate, context.channels);
        if (!line.empty()) hooks.write_line(line);
    }
    // Pieces still queued and samples pending are dropped with the context.
}

// The thread's body. Nothing may leave it: an exception would end the process without a word.
// The worker stops writing instead (output_failed makes the packet loop end) and leaves the
// reason for the capture run to report.
void run_worker_guarded(WorkerContext& context) noexcept {
    try {
        run_worker(context);
    } catch (const std::bad_alloc&) {
        context.failure.store(WORKER_OUT_OF_MEMORY, std::memory_order_release);
    } catch (...) {
        context.failure.store(WORKER_UNEXPECTED_FAILURE, std::memory_order_release);
    }
    if (context.failure.load(std::memory_order_relaxed) != nullptr) {
        context.output_failed->store(true, std::memory_order_release);
    }
}

constexpr const char* INVALID_FORMAT = "invalid capture format or capacity";

}  // namespace

// The handle's state. It exists before the worker thread does, so every way out of
// start_capture_worker_with, exceptions included, ends in stop(): running false, then the join.
struct CaptureWorker::Impl {
    ProducerState producer;
    std::shared_ptr<SampleQueue> queue;  // the producer end; empty after release_producer
    std::shared_ptr<std::atomic<bool>> running;
    std::shared_ptr<CaptureCounters> counters;
    std::shared_ptr<const WorkerContext> context;
    std::shared_ptr<WriteStop> write_stop;
    NamedThread thread;

    // Bounded whatever the reader does: a write blocked on a full standard output (or
    // standard error) is cut short, and the worker then sees its running flag.
    void stop() noexcept {
        running->store(false, std::memory_order_release);
        if (write_stop) write_stop->raise();
        if (thread.joinable()) thread.join_cancelling_io();
    }
    ~Impl() { stop(); }
};

WorkerHooks standard_worker_hooks() {
    WorkerHooks hooks;
    hooks.write_stop = std::make_shared<WriteStop>();
    hooks.write_chunk = [stop = hooks.write_stop](const std::uint8_t* bytes, std::size_t size) {
        return write_chunk(bytes, size, stop.get());
    };
    hooks.write_line = [stop = hooks.write_stop](const std::string& line) { write_stderr_line(line, stop.get()); };
    hooks.start_thread = [](std::string_view name, std::function<void()> body) {
        return start_named_thread(name, std::move(body));
    };
    return hooks;
}

Result<CaptureWorker> start_capture_worker_with(std::uint16_t channels, std::uint32_t sample_rate,
                                                std::size_t queue_capacity, OutputFailedFlag output_failed,
                                                WorkerHooks hooks) {
    if (channels < 1 || channels > 1024 || sample_rate == 0 || queue_capacity == 0) return fail(INVALID_FORMAT);
    if (queue_capacity > std::numeric_limits<std::size_t>::max() / sizeof(SamplePiece)) return fail(INVALID_FORMAT);

    auto assembler = ChunkAssembler::create(channels, sample_rate);
    if (!assembler) return assembler.error_result();
    auto queue = std::make_shared<SampleQueue>(queue_capacity);
    if (!queue->allocated()) return fail("capture buffers: out of memory");
    auto running = std::make_shared<std::atomic<bool>>(true);
    auto counters = std::make_shared<CaptureCounters>();
    if (!output_failed) output_failed = std::make_shared<std::atomic<bool>>(false);

    const bool diagnostics = hooks.diagnostics_enabled ? *hooks.diagnostics_enabled : environment_defined(DIAGNOSTICS_VARIABLE);

    // The owner first: from here on, whatever fails or throws, the handle's state stops and
    // joins a thread that exists.
    auto impl = std::make_unique<CaptureWorker::Impl>();
    impl->producer.channels = channels;
    impl->producer.clock = hooks.clock;
    impl->queue = queue;
    impl->running = running;
    impl->counters = counters;
    impl->write_stop = hooks.write_stop;
    auto start_thread = std::move(hooks.start_thread);
    auto context = std::make_shared<WorkerContext>(std::move(*assembler), std::move(hooks));
    context->queue = queue;
    context->running = running;
    context->output_failed = std::move(output_failed);
    context->counters = counters;
    context->sample_rate = sample_rate;
    context->channels = channels;
    context->diagnostics_enabled = diagnostics;
    impl->context = context;
    Result<NamedThread> thread = start_thread(WORKER_THREAD_NAME, [context] { run_worker_guarded(*context); });
    if (!thread) return fail("capture worker: " + thread.error());
    impl->thread = std::move(*thread);
    return CaptureWorker(std::move(impl));
}

Result<CaptureWorker> start_capture_worker(std::uint16_t channels, std::uint32_t sample_rate,
                                           std::size_t queue_capacity, OutputFailedFlag output_failed) {
    return start_capture_worker_with(channels, sample_rate, queue_capacity, std::move(output_failed),
                                     standard_worker_hooks());
}

CaptureWorker::CaptureWorker(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
CaptureWorker::CaptureWorker(CaptureWorker&&) noexcept = default;

CaptureWorker& CaptureWorker::operator=(CaptureWorker&& other) noexcept {
    if (this != &other) {
        stop();
        impl_ = std::move(other.impl_);
    }
    return *this;
}

CaptureWorker::~CaptureWorker() { stop(); }

std::size_t CaptureWorker::push_samples(const float* samples, std::size_t sample_count) noexcept {
    if (!impl_ || !impl_->queue || !impl_->running->load(std::memory_order_acquire)) return 0;
    return push_pieces(*impl_->queue, impl_->producer, *impl_->counters, samples, sample_count);
}

void CaptureWorker::mark_discontinuity() noexcept {
    if (!impl_) return;
    mark_gap(impl_->producer, *impl_->counters);
}

std::size_t CaptureWorker::queue_room_frames() const noexcept {
    if (!impl_ || !impl_->queue || !impl_->running->load(std::memory_order_acquire)) return 0;
    return impl_->queue->free_slots() * (piece_max_samples(impl_->producer.channels) / impl_->producer.channels);
}

void CaptureWorker::release_producer() noexcept {
    if (impl_) impl_->queue.reset();
}

void CaptureWorker::stop() noexcept {
    if (impl_) impl_->stop();
}

const char* CaptureWorker::failure() const noexcept {
    return impl_ ? impl_->context->failure.load(std::memory_order_acquire) : nullptr;
}

const CaptureCounters& CaptureWorker::counters() const noexcept {
    static const CaptureCounters none;
    return impl_ ? *impl_->counters : none;
}

std::uint64_t CaptureWorker::next_frame() const noexcept { return impl_ ? impl_->producer.next_frame : 0; }

}  // namespace tamsel::capture
