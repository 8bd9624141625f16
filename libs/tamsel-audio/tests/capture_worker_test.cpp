// The worker thread through start_capture_worker_with: validation, chunking and gaps, stop,
// output failure, the diagnostic line on a fake clock, and allocations that fail while its
// thread exists. Runs under ThreadSanitizer too.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "convert.hpp"
#include "failing_allocation.hpp"
#include "worker.hpp"

namespace tamsel::capture {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Frames whose mono value is distinct per frame, so a chunk shows which frames it holds.
std::vector<float> frames_from(std::size_t first, std::size_t count, std::uint16_t channels = 2) {
    std::vector<float> v(count * channels);
    for (std::size_t f = 0; f < count; ++f) {
        for (std::size_t c = 0; c < channels; ++c) {
            v[f * channels + c] = static_cast<float>((first + f) % 30000) / 32767.0f + 0.00001f;
        }
    }
    return v;
}

Bytes converted(const std::vector<float>& samples, std::uint16_t channels = 2) {
    Bytes out(samples.size() / channels * 2);
    EXPECT_TRUE(convert_frames_scalar(samples.data(), samples.size(), channels, out.data()));
    return out;
}

// The simulated time of the worker under test: its idle sleeps advance it, and the producer's
// stamps read it too (one clock for both, as in the pipeline).
std::atomic<std::int64_t> fake_clock_ns{0};
MonotonicClock::time_point fake_clock() noexcept {
    return MonotonicClock::time_point(std::chrono::nanoseconds(fake_clock_ns.load()));
}

// What a worker under test wrote, and the simulated time its idle sleeps advance.
struct Harness {
    Harness() { fake_clock_ns.store(0); }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> chunks;
    std::vector<std::string> lines;
    std::vector<std::chrono::nanoseconds> line_times;
    std::atomic<std::int64_t>& fake_ns = fake_clock_ns;
    std::atomic<std::uint64_t> idle_passes{0};
    std::vector<std::chrono::nanoseconds> sleeps;  // every idle wait the worker chose
    std::atomic<bool> hold{false};  // keeps the worker from starting its loop until released or stopped
    bool write_result = true;

    WorkerHooks hooks(bool diagnostics = false) {
        WorkerHooks h = standard_worker_hooks();
        h.diagnostics_enabled = diagnostics;
        h.clock = &fake_clock;
        h.idle_sleep = [this](std::chrono::nanoseconds sleep) {
            {
                std::lock_guard lock(mutex);
                sleeps.push_back(sleep);
            }
            fake_ns.fetch_add(sleep.count());
            idle_passes.fetch_add(1);
            std::this_thread::sleep_for(100us);
        };
        h.write_chunk = [this](const std::uint8_t* bytes, std::size_t size) {
            std::lock_guard lock(mutex);
            chunks.emplace_back(bytes, bytes + size);
            changed.notify_all();
            return write_result;
        };
        h.write_line = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
            line_times.emplace_back(fake_ns.load());
            changed.notify_all();
        };
        h.on_worker_start = [this](const std::atomic<bool>& running) {
            while (hold.load() && running.load()) std::this_thread::sleep_for(200us);
        };
        return h;
    }

    // Waits until `done` holds (true) or 10 s pass (false).
    template <class Predicate>
    bool wait_for(Predicate done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return done(*this); });
    }

    // Waits until the worker has found the queue empty at least once more.
    void wait_until_idle() {
        const auto seen = idle_passes.load();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (idle_passes.load() < seen + 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100us);
        }
    }

    std::size_t chunk_count() {
        std::lock_guard lock(mutex);
        return chunks.size();
    }
};

OutputFailedFlag new_flag() { return std::make_shared<std::atomic<bool>>(false); }

TEST(StartCaptureWorker, ValidatesFormatAndCapacity) {
    struct Case {
        std::uint16_t channels;
        std::uint32_t rate;
        std::size_t capacity;
        const char* error;  // nullptr: starts
    };
    const Case cases[] = {
        {0, 48000, 32, "invalid capture format or capacity"},
        {1025, 48000, 32, "invalid capture format or capacity"},
        {2, 0, 32, "invalid capture format or capacity"},
        {2, 48000, 0, "invalid capture format or capacity"},
        {2, 48000, SIZE_MAX, "invalid capture format or capacity"},
        {1, 1, 1, nullptr},
        {1024, 48000, 1, nullptr},
        {2, 48000, 32, nullptr},
    };
    for (const Case& c : cases) {
        Harness harness;
        auto worker = start_capture_worker_with(c.channels, c.rate, c.capacity, new_flag(), harness.hooks());
        if (c.error) {
            ASSERT_FALSE(worker) << c.channels << "/" << c.rate << "/" << c.capacity;
            EXPECT_EQ(worker.error(), c.error);
        } else {
            ASSERT_TRUE(worker) << worker.error();
            EXPECT_EQ(worker->next_frame(), 0u);
            worker->stop();
        }
    }
}

TEST(StartCaptureWorker, ReportsAThreadThatCannotBeCreated) {
    Harness harness;
    WorkerHooks hooks = harness.hooks();
    bool asked = false;
    std::string name;
    hooks.start_thread = [&](std::string_view thread_name, std::function<void()>) -> Result<NamedThread> {
        asked = true;
        name = std::string(thread_name);
        return fail("Resource temporarily unavailable (os error 11)");
    };
    auto worker = start_capture_worker_with(2, 48000, 32, new_flag(), std::move(hooks));
    ASSERT_FALSE(worker);
    EXPECT_TRUE(asked);
    EXPECT_EQ(name, "tamsel-capture");
    EXPECT_EQ(worker.error(), "capture worker: Resource temporarily unavailable (os error 11)");
}

TEST(CaptureWorker, WritesOneChunkAfter1000FramesAndKeeps40Pending) {
    Harness harness;
    auto worker = start_capture_worker_with(2, 48000, 32, new_flag(), harness.hooks());
    ASSERT_TRUE(worker);
    const auto first = frames_from(0, 1000);
    EXPECT_EQ(worker->push_samples(first.data(), 1000), 500u);
    EXPECT_EQ(worker->push_samples(first.data() + 1000, 1000), 500u);
    ASSERT_TRUE(harness.wait_for([](Harness& h) { return h.chunks.size() == 1; }));
    harness.wait_until_idle();
    EXPECT_EQ(harness.chunk_count(), 1u) << "40 frames must stay pending";

    const auto rest = frames_from(1000, 920);
    worker->push_samples(rest.data(), rest.size());
    ASSERT_TRUE(harness.wait_for([](Harness& h) { return h.chunks.size() == 2; }));
    worker->stop();

    std::vector<float> all = first;
    all.insert(all.end(), rest.begin(), rest.end());
    const Bytes expected = converted(all);
    ASSERT_EQ(harness.chunks[0].size(), 1920u);
    EXPECT_EQ(harness.chunks[0], Bytes(expected.begin(), expected.begin() + 1920));
    EXPECT_EQ(harness.chunks[1], Bytes(expected.begin() + 1920, expected.end()));
    EXPECT_EQ(worker->counters().accepted_frames.load(), 1920u);
}

struct ChunkSizeCase {
    std::uint32_t rate;
    std::size_t frames;
};

class ChunkSize : public ::testing::TestWithParam<ChunkSizeCase> {};

TEST_P(ChunkSize, FollowsTheRate) {
    const ChunkSizeCase c = GetParam();
    EXPECT_EQ(chunk_frames_for_rate(c.rate), c.frames);
    auto assembler = ChunkAssembler::create(3, c.rate);
    ASSERT_TRUE(assembler);
    EXPECT_EQ(assembler->chunk_samples(), 3 * c.frames);

    // Through the worker: one frame less than a chunk gives nothing, one more frame gives it.
    Harness harness;
    auto worker = start_capture_worker_with(1, c.rate, 32, new_flag(), harness.hooks());
    ASSERT_TRUE(worker);
    const auto samples = frames_from(0, c.frames, 1);
    worker->push_samples(samples.data(), c.frames - 1);
    harness.wait_until_idle();
    EXPECT_EQ(harness.chunk_count(), 0u);
    worker->push_samples(samples.data() + c.frames - 1, 1);
    ASSERT_TRUE(harness.wait_for([](Harness& h) { return !h.chunks.empty(); }));
    worker->stop();
    EXPECT_EQ(harness.chunks[0].size(), 2 * c.frames);
}

INSTANTIATE_TEST_SUITE_P(Table, ChunkSize,
                         ::testing::Values(ChunkSizeCase{48000, 960}, ChunkSizeCase{44100, 882},
                                           ChunkSizeCase{100, 2}, ChunkSizeCase{99, 1}, ChunkSizeCase{1, 1},
                                           ChunkSizeCase{16000, 320}));

// A gap of each kind in the middle of a chunk: the 500 frames before it never reach the
// output, and the next chunk begins with the first frame pushed after it.
TEST(CaptureWorker, AGapInTheMiddleOfAChunkDiscardsThePartialChunk) {
    enum class Gap { Discontinuity, RefusedPush, DroppedPiece };
    for (Gap gap : {Gap::Discontinuity, Gap::RefusedPush, Gap::DroppedPiece}) {
        Harness harness;
        harness.hold = gap == Gap::DroppedPiece;
        auto worker = start_capture_worker_with(2, 48000, 2, new_flag(), harness.hooks());
        ASSERT_TRUE(worker);
        const auto before = frames_from(0, 500);
        ASSERT_EQ(worker->push_samples(before.data(), before.size()), 500u);
        const float odd[3] = {0.9f, 0.9f, 0.9f};
        switch (gap) {
            case Gap::Discontinuity: worker->mark_discontinuity(); break;
            case Gap::RefusedPush: EXPECT_EQ(worker->push_samples(odd, 3), 0u); break;
            case Gap::DroppedPiece: {
                // Two slots: the second piece fits, the third finds the ring full.
                const auto more = frames_from(500, 400);
                ASSERT_EQ(worker->push_samples(more.data(), more.size()), 400u);
                ASSERT_EQ(worker->push_samples(more.data(), 200), 0u);
                harness.hold = false;
                harness.wait_until_idle();
                break;
            }
        }
        harness.wait_until_idle();  // room for both pieces of the next push
        const auto after = frames_from(7000, 960);
        ASSERT_EQ(worker->push_samples(after.data(), after.size()), 960u);
        ASSERT_TRUE(harness.wait_for([](Harness& h) { return !h.chunks.empty(); }));
        harness.wait_until_idle();
        worker->stop();
        ASSERT_EQ(harness.chunks.size(), 1u) << static_cast<int>(gap);
        EXPECT_EQ(harness.chunks[0], converted(after)) << static_cast<int>(gap);
    }
}

TEST(CaptureWorker, ChunksJoinPiecesAndStayInOrder) {
    Harness harness;
    auto worker = start_capture_worker_with(2, 48000, 32, new_flag(), harness.hooks());
    ASSERT_TRUE(worker);
    const auto audio = frames_from(0, 960 * 8);
    std::size_t offset = 0;
    for (std::size_t packet : std::initializer_list<std::size_t>{1, 2, 511, 512, 513, 1000, 7, 3000, 1000}) {
        const std::size_t samples = 2 * packet;
        ASSERT_LE(offset + samples, audio.size());
        worker->push_samples(audio.data() + offset, samples);
        offset += samples;
        harness.wait_until_idle();  // never let the ring fill
    }
    worker->push_samples(audio.data() + offset, audio.size() - offset);
    ASSERT_TRUE(harness.wait_for([](Harness& h) { return h.chunks.size() == 8; }));
    worker->stop();
    Bytes joined;
    for (const Bytes& chunk : harness.chunks) joined.insert(joined.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(joined, converted(audio));
    EXPECT_EQ(worker->counters().dropped_frames.load(), 0u);
}

TEST(CaptureWorker, WithTheWorkerHeldTheRingTakes32PiecesAndDropsTheRest) {
    Harness harness;
    harness.hold = true;
    auto worker = start_capture_worker_with(2, 48000, 32, new_flag(), harness.hooks());
    ASSERT_TRUE(worker);
    const auto packet = frames_from(0, 512);
    EXPECT_EQ(worker->queue_room_frames(), 32u * 512);
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < 35; ++i) {
        EXPECT_EQ(worker->queue_room_frames(), i < 32 ? (32 - i) * 512 : 0u) << "before push " << i;
        accepted += worker->push_samples(packet.data(), packet.size());
    }
    EXPECT_EQ(accepted, 32u * 512);
    EXPECT_EQ(worker->counters().accepted_frames.load(), 32u * 512);
    EXPECT_EQ(worker->counters().dropped_frames.load(), 3u * 512);
    EXPECT_EQ(worker->next_frame(), 35u * 512);
    // Stop with pieces still queued: none of them is written.
    worker->stop();
    EXPECT_TRUE(harness.chunks.empty());
}

TEST(CaptureWorker, PushesAfterStopOrReleaseCountNothing) {
    const auto packet = frames_from(0, 480);
    for (bool release : {false, true}) {
        Harness harness;
        auto worker = start_capture_worker_with(2, 48000, 32, new_flag(), harness.hooks());
        ASSERT_TRUE(worker);
        EXPECT_EQ(worker->push_samples(packet.data(), 0), 0u);
        EXPECT_EQ(worker->push_samples(packet.data(), 1), 0u);
        EXPECT_EQ(worker->next_frame(), 0u) << "one sample of two channels is not a frame";
        EXPECT_EQ(worker->push_samples(packet.data(), packet.size()), 480u);
        if (release) {
            worker->release_producer();
        } else {
            worker->stop();
        }
        EXPECT_EQ(worker->queue_room_frames(), 0u) << "no room once nothing can be pushed";
        EXPECT_EQ(worker->push_samples(packet.data(), packet.size()), 0u);
        EXPECT_EQ(worker->push_samples(packet.data(), 3), 0u);
        EXPECT_EQ(worker->counters().accepted_frames.load(), 480u);
        EXPECT_EQ(worker->counters().dropped_frames.load(), 0u);
        EXPECT_EQ(worker->next_frame(), 480u);
        worker->stop();
        worker->stop();  // a second stop only clears the flag again
    }
}

TEST(CaptureWorker, DestroyingTheHandleStopsTheWorker) {
    Harness harness;
    std::weak_ptr<std::atomic<bool>> flag_seen;
    {
        auto flag = new_flag();
        flag_seen = flag;
        auto worker = start_capture_worker_with(2, 48000, 32, std::move(flag), harness.hooks());
        ASSERT_TRUE(worker);
        CaptureWorker moved = std::move(*worker);
        const auto audio = frames_from(0, 960);
        EXPECT_EQ(moved.push_samples(audio.data(), audio.size()), 960u);
        EXPECT_EQ(worker->push_samples(audio.data(), audio.size()), 0u) << "a moved-from handle is inert";
        ASSERT_TRUE(harness.wait_for([](Harness& h) { return !h.chunks.empty(); }));
    }
    EXPECT_TRUE(flag_seen.expired()) << "the worker thread has ended and let go of its context";
}

TEST(CaptureWorker, AFailedWriteSetsOutputFailedAndLaterChunksAreDiscarded) {
    Harness harness;
    harness.write_result = false;
    auto flag = new_flag();
    auto worker = start_capture_worker_with(2, 48000, 32, flag, harness.hooks(true));
    ASSERT_TRUE(worker);
    const auto audio = frames_from(0, 960 * 3);
    worker->push_samples(audio.data(), audio.size());
    ASSERT_TRUE(harness.wait_for([](Harness& h) { return !h.chunks.empty(); }));
    harness.wait_until_idle();
    EXPECT_TRUE(flag->load());
    EXPECT_EQ(harness.chunk_count(), 1u) << "only the failing chunk reached the writer";
    // The worker keeps running: it still accepts audio and prints diagnostic lines.
    EXPECT_EQ(worker->push_samples(audio.data(), 960), 480u);
    ASSERT_TRUE(harness.wait_for([](Harness& h) { return !h.lines.empty(); }));
    worker->stop();
    EXPECT_EQ(harness.chunks.size(), 1u);
    EXPECT_TRUE(flag->load());
}

TEST(CaptureWorker, DiagnosticLinesComeEverySecondOfWorkerTime) {
    Harness harness;
    auto worker = start_capture_worker_with(2, 48000, 32, new_flag(), harness.hooks(true));
    ASSERT_TRUE(worker);
    const auto audio = frames_from(0, 960);
    worker->push_samples(audio.data(), audio.size());
    ASSERT_TRUE(harness.wait_for([](Harness& h) { return h.lines.size() >= 3; }));
    worker->stop();
    const std::size_t lines_at_stop = harness.lines.size();
    std::this_thread::sleep_for(20ms);
    std::lock_guard lock(harness.mutex);
    EXPECT_EQ(harness.lines.size(), lines_at_stop) << "no line after the worker stopped";
    EXPECT_EQ(harness.lines[0],
              "TAMSEL_CAPTURE rate=48000 channels=2 accepted_frames=960 dropped_frames=0 discontinuities=0\n");
    for (std::size_t i = 0; i < harness.line_times.size(); ++i) {
        // Time moves only by idle sleeps, and an idle sleep ends when the next line is due:
        // each line comes on the whole second, however long the sleeps have grown.
        EXPECT_EQ(harness.line_times[i], std::chrono::seconds(i + 1)) << "line " << i;
    }
}

TEST(CaptureWorker, NoDiagnosticLineWithoutDropsWhenDiagnosticsAreOff) {
    Harness harness;
    auto worker = start_capture_worker_with(2, 48000, 32, new_flag(), harness.hooks(false));
    ASSERT_TRUE(worker);
    const auto audio = frames_from(0, 960);
    worker->push_samples(audio.data(), audio.size());
    while (harness.fake_ns.load() < std::chrono::nanoseconds(3s).count()) std::this_thread::sleep_for(1ms);
    worker->stop();
    EXPECT_TRUE(harness.lines.empty());
}

TEST(CaptureWorker, AStopEndsTheWorkersLongestSleepAtOnce) {
    // The system's idle timer with a ceiling of an hour: after a chunk whose push the clock
    // says came an hour from now, the worker sleeps for the hour. Only the stop's wake can end
    // that sleep; a stop that does not wake it fails at the watchdog instead of hanging.
    Harness harness;
    WorkerHooks hooks = harness.hooks(false);
    hooks.idle_sleep = nullptr;
    hooks.idle_ceiling = 1h;
    auto worker = start_capture_worker_with(2, 48000, 32, new_flag(), hooks);
    ASSERT_TRUE(worker);
    const auto audio = frames_from(0, 960);
    fake_clock_ns.store(std::chrono::nanoseconds(1h).count());
    worker->push_samples(audio.data(), audio.size());
    fake_clock_ns.store(0);
    ASSERT_TRUE(harness.wait_for([](Harness& h) { return h.chunks.size() == 1; }));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        worker->stop();
        stopped.store(true);
    });
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!stopped.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    if (!stopped.load()) {
        std::fprintf(stderr, "the stop did not end the worker's idle wait\n");
        std::_Exit(1);
    }
    stopper.join();
}

// ---- Allocation failures -------------------------------------------------------------------

WorkerHooks quiet_hooks() {
    WorkerHooks hooks = standard_worker_hooks();
    hooks.diagnostics_enabled = true;  // a diagnostic line (an allocation) every second
    hooks.write_chunk = [](const std::uint8_t*, std::size_t) { return true; };
    hooks.write_line = [](const std::string&) {};
    return hooks;
}

TEST(CaptureWorker, AStartWhoseAllocationFailsReturnsAndStopsItsThread) {
    std::size_t failed_starts = 0;
    std::size_t started = 0;
    test::for_each_failing_allocation(
        20s, "start_capture_worker_with",
        [&] {
            auto output_failed = std::make_shared<std::atomic<bool>>(false);
            Result<CaptureWorker> worker =
                start_capture_worker_with(2, 48000, 32, output_failed, quiet_hooks());
            if (!worker) return;
            ++started;
            std::vector<float> samples(1920, 0.25f);
            (void)worker->push_samples(samples.data(), samples.size());
            worker->release_producer();
            worker->stop();
        },
        [&](const test::FailingRun& run) {
            if (run.threw) ++failed_starts;
        });
    // The sweep reached the allocations after the thread had started: the last run started
    // without a failure, and the ones before it failed at every allocation of the start.
    EXPECT_GT(failed_starts, 3u);
    EXPECT_GE(started, 1u);
}

TEST(CaptureWorker, AnExceptionOnTheWorkerThreadEndsItsOutputAndIsReported) {
    // The worker's own first allocation after its start hook throws (the diagnostic line).
    WorkerHooks hooks = quiet_hooks();
    fake_clock_ns.store(0);
    hooks.clock = &fake_clock;
    hooks.idle_sleep = [](std::chrono::nanoseconds sleep) { fake_clock_ns.fetch_add(sleep.count()); };
    hooks.on_worker_start = [](const std::atomic<bool>&) { test::fail_allocation(1); };
    auto output_failed = std::make_shared<std::atomic<bool>>(false);
    Result<CaptureWorker> worker = start_capture_worker_with(2, 48000, 32, output_failed, hooks);
    ASSERT_TRUE(worker);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!output_failed->load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(output_failed->load()) << "the packet loop must learn that the worker is gone";
    ASSERT_NE(worker->failure(), nullptr);
    EXPECT_STREQ(worker->failure(), "capture worker: out of memory");
    worker->stop();
}

TEST(CaptureWorker, ASoundWorkerReportsNoFailure) {
    auto output_failed = std::make_shared<std::atomic<bool>>(false);
    Result<CaptureWorker> worker = start_capture_worker_with(2, 48000, 32, output_failed, quiet_hooks());
    ASSERT_TRUE(worker);
    std::this_thread::sleep_for(20ms);
    worker->stop();
    EXPECT_EQ(worker->failure(), nullptr);
    EXPECT_FALSE(output_failed->load());
}

}  // namespace
}  // namespace tamsel::capture
