// What happens when an allocation throws after a thread exists: the capture worker's start, an
// exception on the worker thread itself, and the audio controller's start (directly and through
// the registry). Each allocation of the starting thread fails in turn; every start must return
// (a start that joins a thread still serving would hang, which ends this program with "HANG"),
// and everything it made must be gone again (AddressSanitizer reports what leaked).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "controller_cubeb.hpp"
#include "failing_allocation.hpp"
#include "tamsel/audio/controller.hpp"
#include "worker.hpp"

namespace tamsel {
namespace {

using namespace std::chrono_literals;
using test::FailingRun;

constexpr auto LIMIT = 20s;

// ---- The capture worker ---------------------------------------------------------------------

capture::WorkerHooks quiet_hooks() {
    capture::WorkerHooks hooks = capture::standard_worker_hooks();
    hooks.diagnostics_enabled = true;  // a diagnostic line (an allocation) every second
    hooks.write_chunk = [](const std::uint8_t*, std::size_t) { return true; };
    hooks.write_line = [](const std::string&) {};
    return hooks;
}

TEST(AllocationFailure, CaptureWorkerStartReturnsAndStopsWhateverFails) {
    std::size_t failed_starts = 0;
    std::size_t started = 0;
    test::for_each_failing_allocation(
        LIMIT, "start_capture_worker_with",
        [&] {
            auto output_failed = std::make_shared<std::atomic<bool>>(false);
            Result<capture::CaptureWorker> worker =
                capture::start_capture_worker_with(2, 48000, 32, output_failed, quiet_hooks());
            if (!worker) return;
            ++started;
            std::vector<float> samples(1920, 0.25f);
            (void)worker->push_samples(samples.data(), samples.size());
            worker->release_producer();
            worker->stop();
        },
        [&](const FailingRun& run) {
            if (run.threw) ++failed_starts;
        });
    // The sweep reached the allocations after the thread had started: the last run started
    // without a failure, and the ones before it failed at every allocation of the start.
    std::printf("capture worker start: %zu failing allocations\n", failed_starts);
    EXPECT_GT(failed_starts, 3u);
    EXPECT_GE(started, 1u);
}

TEST(AllocationFailure, AnExceptionOnTheWorkerThreadEndsItsOutputAndIsReported) {
    // The worker's own first allocation after its start hook throws (the diagnostic line).
    capture::WorkerHooks hooks = quiet_hooks();
    std::atomic<std::int64_t> fake_ns{0};
    hooks.now = [&] { return capture::MonotonicClock::time_point(std::chrono::nanoseconds(fake_ns.load())); };
    hooks.idle_sleep = [&] { fake_ns.fetch_add(std::chrono::nanoseconds(100ms).count()); };
    hooks.on_worker_start = [](const std::atomic<bool>&) { test::fail_allocation(1); };
    auto output_failed = std::make_shared<std::atomic<bool>>(false);
    Result<capture::CaptureWorker> worker = capture::start_capture_worker_with(2, 48000, 32, output_failed, hooks);
    ASSERT_TRUE(worker);
    const auto deadline = std::chrono::steady_clock::now() + LIMIT;
    while (!output_failed->load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(output_failed->load()) << "the packet loop must learn that the worker is gone";
    ASSERT_NE(worker->failure(), nullptr);
    EXPECT_STREQ(worker->failure(), "capture worker: out of memory");
    worker->stop();
}

TEST(AllocationFailure, ASoundWorkerReportsNoFailure) {
    auto output_failed = std::make_shared<std::atomic<bool>>(false);
    Result<capture::CaptureWorker> worker = capture::start_capture_worker_with(2, 48000, 32, output_failed, quiet_hooks());
    ASSERT_TRUE(worker);
    std::this_thread::sleep_for(20ms);
    worker->stop();
    EXPECT_EQ(worker->failure(), nullptr);
    EXPECT_FALSE(output_failed->load());
}

// ---- The audio controller -------------------------------------------------------------------

char g_context;
int ok_init(cubeb** context, const char*, const char*) {
    *context = reinterpret_cast<cubeb*>(&g_context);
    return CUBEB_OK;
}
const char* backend_id(cubeb*) { return "fakeback"; }
int no_devices(cubeb*, cubeb_device_type, cubeb_device_collection*) { return CUBEB_ERROR; }
int destroy_collection(cubeb*, cubeb_device_collection*) { return CUBEB_OK; }
void destroy_context(cubeb*) {}
const CubebApi FAKE_CUBEB{&ok_init, &backend_id, &no_devices, &destroy_collection, &destroy_context};

std::int32_t enter_ok() { return 0; }
void leave() {}

ControllerOptions fake_options() {
    ControllerOptions options;
    options.api = &FAKE_CUBEB;
    options.enter_apartment = &enter_ok;
    options.leave_apartment = &leave;
    options.diagnostics = false;
    return options;
}

TEST(AllocationFailure, ControllerStartReturnsAndEndsItsThreadWhateverFails) {
    std::size_t failed_starts = 0;
    test::for_each_failing_allocation(
        LIMIT, "start_controller",
        [&] {
            Result<SharedController> controller = start_controller(fake_options());
            if (!controller) return;
            EXPECT_EQ((*controller)->backend(), "fakeback");
        },
        [&](const FailingRun& run) {
            if (run.threw) ++failed_starts;
        });
    std::printf("controller start: %zu failing allocations\n", failed_starts);
    EXPECT_GT(failed_starts, 3u);
}

TEST(AllocationFailure, RegistryStartThatThrowsReturnsUnderItsLock) {
    // A start that throws once the thread serves poisons the registry instead of hanging in it.
    std::size_t poisoned = 0;
    test::for_each_failing_allocation(
        LIMIT, "ControllerRegistry::get",
        [&] {
            ControllerRegistry registry;
            Result<SharedController> controller = registry.get([] { return start_controller(fake_options()); });
            if (!controller && controller.error() == "audio controller registry poisoned") ++poisoned;
        },
        [](const FailingRun&) {});
    EXPECT_GT(poisoned, 0u);
}

}  // namespace
}  // namespace tamsel
