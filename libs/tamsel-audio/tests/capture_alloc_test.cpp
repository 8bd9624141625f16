// push_samples never allocates: this binary links the counting global operator new of
// tests/support/alloc, and the pushing thread's count must not move across thousands of pushes
// of every kind (queued, dropped on a full ring, refused, multi-piece, after a discontinuity,
// after stop). It counts every operator new, so it catches any container, string or
// std::function that could sneak in.
//
// "No lock" is shown by construction rather than measured: the push path is
// CaptureWorker::push_samples -> push_pieces (producer.hpp) -> SampleQueue::try_claim/publish
// (sample_queue.hpp) plus relaxed fetch_add on the counters. Those headers include no mutex,
// condition variable or other blocking primitive, push_pieces is a template over the queue type
// (no virtual call), and the atomics it touches are required below to be lock-free, so the
// standard library cannot implement them with a hidden lock either.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "failing_allocation.hpp"
#include "worker.hpp"

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "ring indices and counters must be lock-free");
static_assert(std::atomic<bool>::is_always_lock_free, "the running flag must be lock-free");

namespace tamsel::capture {
namespace {

TEST(AllocationCounter, CountsThisThreadsAllocations) {
    const std::size_t before = test::allocations_on_this_thread();
    auto p = std::make_unique<int>(7);
    std::vector<float> v(100);
    EXPECT_EQ(test::allocations_on_this_thread(), before + 2);
    std::size_t other_thread = 0;
    std::thread([&] {
        const std::size_t start = test::allocations_on_this_thread();
        // Called as a function, so the optimiser may not drop the pair as it may for a
        // new-expression whose object nobody uses.
        void* q = ::operator new(sizeof(long));
        other_thread = test::allocations_on_this_thread() - start;
        ::operator delete(q);
    }).join();
    EXPECT_EQ(other_thread, 1u) << "each thread counts its own allocations";
}

// The over-aligned forms count and fail in turn like the plain ones (the sample queue is one).
TEST(AllocationCounter, OverAlignedFormsFailInTurn) {
    constexpr std::align_val_t ALIGN{64};
    struct Case {
        const char* name;
        void* (*allocate)();           // nullptr when the armed failure gave nothing
        void (*release)(void*);
    };
    const Case cases[] = {
        {"new", [] { return ::operator new(100, ALIGN); }, [](void* p) { ::operator delete(p, ALIGN); }},
        {"new[]", [] { return ::operator new[](100, ALIGN); }, [](void* p) { ::operator delete[](p, ALIGN); }},
        {"nothrow new", [] { return ::operator new(100, ALIGN, std::nothrow); }, [](void* p) { ::operator delete(p, ALIGN); }},
        {"nothrow new[]", [] { return ::operator new[](100, ALIGN, std::nothrow); },
         [](void* p) { ::operator delete[](p, ALIGN); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = test::allocations_on_this_thread();
        void* p = c.allocate();
        EXPECT_EQ(test::allocations_on_this_thread(), before + 1);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);
        c.release(p);

        test::fail_allocation(1);
        void* failed = nullptr;
        try {
            failed = c.allocate();
        } catch (const std::bad_alloc&) {
        }
        EXPECT_TRUE(test::allocation_failure_fired());
        test::disarm_allocation_failure();
        EXPECT_EQ(failed, nullptr);
        if (failed) c.release(failed);
    }
}

TEST(PushSamples, NeverAllocates) {
    for (bool hold_worker : {false, true}) {
        WorkerHooks hooks = standard_worker_hooks();
        hooks.diagnostics_enabled = true;
        hooks.write_chunk = [](const std::uint8_t*, std::size_t) { return true; };
        hooks.write_line = [](const std::string&) {};
        // Held: the ring fills and the drop path runs; free: the worker pops concurrently.
        hooks.on_worker_start = [hold_worker](const std::atomic<bool>& running) {
            while (hold_worker && running.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        auto worker = start_capture_worker_with(2, 48000, 32, std::make_shared<std::atomic<bool>>(false),
                                                std::move(hooks));
        ASSERT_TRUE(worker);
        const std::vector<float> audio(8192, 0.25f);

        const std::size_t before = test::allocations_on_this_thread();
        std::size_t accepted = 0;
        for (std::size_t round = 0; round < 2000; ++round) {
            const std::size_t sizes[] = {960, 0, 2, 1024, 1026, 2500, 3, 8192, 1};
            accepted += worker->push_samples(audio.data(), sizes[round % std::size(sizes)]);
            if (round % 7 == 0) worker->mark_discontinuity();
        }
        worker->release_producer();
        accepted += worker->push_samples(audio.data(), 960);
        const std::size_t allocations = test::allocations_on_this_thread() - before;

        worker->stop();
        EXPECT_EQ(allocations, 0u) << (hold_worker ? "held worker" : "running worker");
        EXPECT_GT(accepted, 0u);
        if (hold_worker) {
            EXPECT_GT(worker->counters().dropped_frames.load(), 100000u) << "the drop path ran";
        }
    }
}

}  // namespace
}  // namespace tamsel::capture
