// Benchmarks of the capture pipeline. Every figure is read against a baseline of the same run:
//   convert/*        the fast conversion against the scalar reference (built without
//                    vectorisation) on one 960-frame stereo chunk;
//   push_samples/*   one 480-frame stereo packet (a 10 ms capture packet) into the ring;
//   latency          from the push that completes a chunk to the chunk's write (median, p99);
//   pipeline/*       audio seconds processed per wall-clock second (x_realtime).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "chunk_assembler.hpp"
#include "convert.hpp"
#include "producer.hpp"
#include "sample_queue.hpp"
#include "worker.hpp"

namespace tamsel::capture {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<float> random_audio(std::size_t samples, std::uint32_t seed = 7) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-1.1f, 1.1f);
    std::vector<float> out(samples);
    for (float& v : out) v = value(random);
    return out;
}

template <bool (*Convert)(const float*, std::size_t, std::uint16_t, std::uint8_t*) noexcept>
void convert_chunk_bench(benchmark::State& state) {
    const auto chunk = random_audio(2 * 960);
    std::vector<std::uint8_t> out(2 * 960);
    for (auto _ : state) {
        benchmark::DoNotOptimize(chunk.data());
        Convert(chunk.data(), chunk.size(), 2, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 960);
}
BENCHMARK(convert_chunk_bench<convert_frames_scalar>)->Name("convert/scalar_reference_960x2");
BENCHMARK(convert_chunk_bench<convert_frames>)->Name("convert/fast_960x2");
// The compiler-vectorised loops that ARM64 runs, measured here on x86-64 for comparison.
BENCHMARK(convert_chunk_bench<convert_frames_portable>)->Name("convert/portable_960x2");

// Producer cost alone: the consumer end releases each piece at once on the same thread, so the
// ring never fills and every push takes the copying path.
void push_into_ring(benchmark::State& state) {
    SampleQueue queue(32);
    ProducerState producer{2, 0};
    CaptureCounters counters;
    const auto packet = random_audio(2 * 480);
    for (auto _ : state) {
        benchmark::DoNotOptimize(push_pieces(queue, producer, counters, packet.data(), packet.size()));
        queue.try_peek();
        queue.release();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 480);
}
BENCHMARK(push_into_ring)->Name("push_samples/480_frames_ring");

WorkerHooks null_output_hooks(int null_fd) {
    WorkerHooks hooks = standard_worker_hooks();
    hooks.diagnostics_enabled = false;
    hooks.write_chunk = [null_fd](const std::uint8_t* bytes, std::size_t size) {
        return ::write(null_fd, bytes, size) == static_cast<ssize_t>(size);
    };
    hooks.write_line = [](const std::string&) {};
    return hooks;
}

// push_samples on a running pipeline whose worker writes to /dev/null, at the rate the producer
// can reach (pieces that find the ring full are dropped and counted in dropped_share).
void push_into_worker(benchmark::State& state) {
    const int null_fd = ::open("/dev/null", O_WRONLY);
    auto worker = start_capture_worker_with(2, 48000, 32, std::make_shared<std::atomic<bool>>(false),
                                            null_output_hooks(null_fd));
    if (!worker) {
        state.SkipWithError(worker.error().c_str());
        return;
    }
    const auto packet = random_audio(2 * 480);
    for (auto _ : state) benchmark::DoNotOptimize(worker->push_samples(packet.data(), packet.size()));
    worker->stop();
    const auto accepted = static_cast<double>(worker->counters().accepted_frames.load());
    const auto dropped = static_cast<double>(worker->counters().dropped_frames.load());
    state.counters["dropped_share"] = dropped / (accepted + dropped);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 480);
    ::close(null_fd);
}
BENCHMARK(push_into_worker)->Name("push_samples/480_frames_running_worker");

// Added latency: each round pushes 480 frames, waits a random 0..4 ms (so pushes land at every
// phase of the worker's idle wait), then pushes the 480 frames that complete a chunk and waits
// for its write. The real clock, the real idle wait (IdleWaitPolicy); the write only records the
// time. The pushes do not come at the pace of the audio they carry, so the policy's estimates
// of their spacing are off here by design: a worst case, not what a capture sees.
void added_latency(benchmark::State& state) {
    std::atomic<std::int64_t> written_at{0};
    std::atomic<std::uint64_t> writes{0};
    WorkerHooks hooks = standard_worker_hooks();
    hooks.diagnostics_enabled = false;
    hooks.write_chunk = [&](const std::uint8_t*, std::size_t) {
        written_at.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        writes.fetch_add(1, std::memory_order_release);
        return true;
    };
    hooks.write_line = [](const std::string&) {};
    auto worker = start_capture_worker_with(2, 48000, 32, std::make_shared<std::atomic<bool>>(false), std::move(hooks));
    if (!worker) {
        state.SkipWithError(worker.error().c_str());
        return;
    }
    const auto packet = random_audio(2 * 480);
    std::mt19937 random(11);
    std::uniform_int_distribution<int> pause_us(0, 4000);
    std::vector<double> latencies_us;
    for (auto _ : state) {
        worker->push_samples(packet.data(), packet.size());
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
        const std::uint64_t before = writes.load(std::memory_order_acquire);
        const auto pushed_at = Clock::now();
        worker->push_samples(packet.data(), packet.size());
        while (writes.load(std::memory_order_acquire) == before) std::this_thread::yield();
        const auto latency = Clock::time_point(Clock::duration(written_at.load(std::memory_order_relaxed))) - pushed_at;
        const double seconds = std::chrono::duration<double>(latency).count();
        state.SetIterationTime(seconds);
        latencies_us.push_back(seconds * 1e6);
    }
    worker->stop();
    std::sort(latencies_us.begin(), latencies_us.end());
    const auto at = [&](double q) { return latencies_us[static_cast<std::size_t>(q * static_cast<double>(latencies_us.size() - 1))]; };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = latencies_us.back();
}
BENCHMARK(added_latency)->Name("latency/push_to_write")->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The whole pipeline's work on one thread: 10 s of audio as 480-frame packets pushed into the
// ring, popped, assembled, converted and written to /dev/null.
void pipeline_one_thread(benchmark::State& state) {
    const int null_fd = ::open("/dev/null", O_WRONLY);
    SampleQueue queue(32);
    ProducerState producer{2, 0};
    CaptureCounters counters;
    auto assembler = ChunkAssembler::create(2, 48000);
    std::atomic<bool> running{true}, output_failed{false};
    const ChunkWriter write = [null_fd](const std::uint8_t* bytes, std::size_t size) {
        return ::write(null_fd, bytes, size) == static_cast<ssize_t>(size);
    };
    const auto packet = random_audio(2 * 480);
    constexpr int PACKETS = 1000;  // 10 s
    for (auto _ : state) {
        for (int i = 0; i < PACKETS; ++i) {
            push_pieces(queue, producer, counters, packet.data(), packet.size());
            while (assembler->take_from(queue, running, output_failed, write)) {
            }
        }
    }
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * 10.0, benchmark::Counter::kIsRate);
    ::close(null_fd);
}
BENCHMARK(pipeline_one_thread)->Name("pipeline/one_thread_10s")->Unit(benchmark::kMillisecond);

// The real two-thread pipeline: the producer pushes 10 s of audio as 480-frame packets as fast
// as the worker takes them (never more than 30 packets ahead of the written chunks, so nothing
// is dropped from the 32-slot ring), the worker writes to /dev/null. x_realtime counts the audio
// the worker wrote. Whenever the worker finds the ring empty it sleeps as IdleWaitPolicy says
// (here mostly its short polls: the pushes come much faster than the audio's pace), so on a busy
// machine the figure falls with those sleeps; on an idle one it is bound by the work itself.
void pipeline_two_threads(benchmark::State& state) {
    const int null_fd = ::open("/dev/null", O_WRONLY);
    const auto packet = random_audio(2 * 480);
    double written_seconds = 0;
    for (auto _ : state) {
        std::atomic<std::uint64_t> chunks{0};
        WorkerHooks hooks = null_output_hooks(null_fd);
        auto write = hooks.write_chunk;
        hooks.write_chunk = [&chunks, write](const std::uint8_t* bytes, std::size_t size) {
            chunks.fetch_add(1, std::memory_order_relaxed);
            return write(bytes, size);
        };
        auto worker = start_capture_worker_with(2, 48000, 32, std::make_shared<std::atomic<bool>>(false), std::move(hooks));
        if (!worker) {
            state.SkipWithError(worker.error().c_str());
            break;
        }
        // Keep the ring fed without flooding it: at most 30 packets pushed but not yet written.
        std::uint64_t pushed = 0;
        while (pushed < 1000) {
            if (pushed >= 2 * chunks.load(std::memory_order_relaxed) + 30) {
                std::this_thread::yield();
                continue;
            }
            worker->push_samples(packet.data(), packet.size());
            ++pushed;
        }
        while (chunks.load(std::memory_order_relaxed) < 500 && worker->counters().dropped_frames.load() == 0) {
            std::this_thread::yield();
        }
        worker->stop();
        written_seconds += static_cast<double>(chunks.load()) * 0.02;
    }
    state.counters["x_realtime"] = benchmark::Counter(written_seconds, benchmark::Counter::kIsRate);
    ::close(null_fd);
}
BENCHMARK(pipeline_two_threads)->Name("pipeline/two_threads_10s")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tamsel::capture

BENCHMARK_MAIN();
