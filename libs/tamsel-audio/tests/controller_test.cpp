// The audio controller with a replaced cubeb table: start failures (allocation failures
// included) and the registry, channels and their closed outcomes, the diagnostics tick,
// shutdown.

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <latch>
#include <stdexcept>
#include <thread>
#include <vector>

#include "controller_cubeb.hpp"
#include "failing_allocation.hpp"
#include "tamsel/audio/controller.hpp"

namespace tamsel {
namespace {

using namespace std::chrono_literals;

// State of the fake cubeb; reset by each test's fixture.
struct FakeCubeb {
    std::atomic<int> init_calls{0};
    std::atomic<int> failing_inits{0};
    std::atomic<int> init_result{CUBEB_ERROR};
    std::atomic<int> init_delay_ms{0};
    std::atomic<bool> init_throws{false};
    std::atomic<int> failing_enumerations{0};
    std::atomic<int> enumerate_result{CUBEB_ERROR_NOT_SUPPORTED};
    std::atomic<int> throwing_enumerations{0};
    std::atomic<bool> null_identifier{false};
    std::atomic<int> collections_destroyed{0};
    std::atomic<int> contexts_destroyed{0};
    std::atomic<int> apartments_left{0};
    std::atomic<std::int32_t> apartment_result{0};
    std::string context_name, backend_name;  // written on the controller thread before startup
};
FakeCubeb* g = nullptr;
char g_context_token;

int fake_init(cubeb** context, const char* context_name, const char* backend_name) {
    ++g->init_calls;
    g->context_name = context_name ? context_name : "(null)";
    g->backend_name = backend_name ? backend_name : "(null)";
    std::this_thread::sleep_for(std::chrono::milliseconds(g->init_delay_ms.load()));
    if (g->init_throws) throw std::runtime_error("init blew up");
    if (g->failing_inits > 0) {
        --g->failing_inits;
        return g->init_result;
    }
    *context = reinterpret_cast<cubeb*>(&g_context_token);
    return CUBEB_OK;
}

const char* fake_backend(cubeb*) { return "fakeback"; }

int fake_enumerate(cubeb*, cubeb_device_type type, cubeb_device_collection* collection) {
    if (g->throwing_enumerations > 0) {
        --g->throwing_enumerations;
        throw std::runtime_error("enumeration blew up");
    }
    if (g->failing_enumerations > 0) {
        --g->failing_enumerations;
        return g->enumerate_result;
    }
    auto* infos = new cubeb_device_info[2]{};
    const bool output = type == CUBEB_DEVICE_TYPE_OUTPUT;
    for (int i = 0; i < 2; ++i) {
        infos[i].device_id = g->null_identifier ? nullptr : (output ? "out" : "in");
        infos[i].state = CUBEB_DEVICE_STATE_ENABLED;
        infos[i].max_channels = output ? 6u : 1u;
        infos[i].default_rate = 48000;
    }
    collection->device = infos;
    collection->count = 2;
    return CUBEB_OK;
}

int fake_destroy_collection(cubeb*, cubeb_device_collection* collection) {
    delete[] collection->device;
    collection->device = nullptr;
    collection->count = 0;
    ++g->collections_destroyed;
    return CUBEB_OK;
}

void fake_destroy(cubeb*) { ++g->contexts_destroyed; }

const CubebApi FAKE{&fake_init, &fake_backend, &fake_enumerate, &fake_destroy_collection, &fake_destroy};

std::int32_t fake_enter() { return g->apartment_result; }
void fake_leave() { ++g->apartments_left; }

ControllerOptions fake_options(bool diagnostics = false) {
    ControllerOptions o;
    o.api = &FAKE;
    o.enter_apartment = &fake_enter;
    o.leave_apartment = &fake_leave;
    o.diagnostics = diagnostics;
    return o;
}

void wait_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
}

class Controller : public ::testing::Test {
protected:
    void SetUp() override { g = &fake_; }
    void TearDown() override { g = nullptr; }
    FakeCubeb fake_;
};

class CountingStream final : public ControllerStream {
public:
    CountingStream(std::atomic<int>& reports, std::atomic<bool>& released) : reports_(reports), released_(released) {}
    ~CountingStream() override { released_ = true; }
    void report_diagnostics() override { ++reports_; }

private:
    std::atomic<int>& reports_;
    std::atomic<bool>& released_;
};

TEST_F(Controller, StartsWritesTheStartLineAndShutsDownWithTheLastReference) {
    ::testing::internal::CaptureStderr();
    auto controller = start_controller(fake_options());
    ASSERT_TRUE(controller) << controller.error();
    EXPECT_EQ((*controller)->backend(), "fakeback");
    EXPECT_EQ(fake_.context_name, "Tamsel");
    EXPECT_EQ(fake_.backend_name, "wasapi");
    EXPECT_EQ(fake_.contexts_destroyed, 0);
    controller->reset();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "TAMSEL_AUDIO backend=fakeback binding=0.38.0\n");
    EXPECT_EQ(fake_.contexts_destroyed, 1);
    EXPECT_EQ(fake_.apartments_left, 1);
}

TEST_F(Controller, ThreadCarriesItsName) {
    auto controller = start_controller(fake_options());
    ASSERT_TRUE(controller) << controller.error();
    std::promise<std::string> name;
    auto named = name.get_future();
    ASSERT_TRUE((*controller)->send(RunMessage{ControllerJob([&name](ControllerState&) {
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name.set_value(buffer);
    })}));
    EXPECT_EQ(named.get(), "tamsel-audio-co");  // the kernel keeps 15 bytes
}

TEST_F(Controller, StartFailureMessages) {
    struct Case {
        const char* name;
        std::int32_t apartment;
        int init_result;
        const char* message;
        int init_calls;
        int apartments_left;
    };
    const Case cases[] = {
        {"COM refused", static_cast<std::int32_t>(0x80004005u), CUBEB_OK, "COM MTA initialization failed: 0x80004005", 0, 0},
        {"COM changed mode", static_cast<std::int32_t>(0x80010106u), CUBEB_OK, "COM MTA initialization failed: 0x80010106", 0, 0},
        {"cubeb error", 0, CUBEB_ERROR, "cubeb context: Error", 1, 1},
        {"cubeb format", 1, CUBEB_ERROR_INVALID_FORMAT, "cubeb context: InvalidFormat", 1, 1},
        {"cubeb parameter", 0, CUBEB_ERROR_INVALID_PARAMETER, "cubeb context: InvalidParameter", 1, 1},
        {"cubeb unsupported", 0, CUBEB_ERROR_NOT_SUPPORTED, "cubeb context: NotSupported", 1, 1},
        {"cubeb unavailable", 0, CUBEB_ERROR_DEVICE_UNAVAILABLE, "cubeb context: DeviceUnavailable", 1, 1},
        {"cubeb unknown code", 0, -77, "cubeb context: Error", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_.init_calls = 0;
        fake_.apartments_left = 0;
        fake_.apartment_result = c.apartment;
        fake_.failing_inits = c.init_result == CUBEB_OK ? 0 : 1;
        fake_.init_result = c.init_result;
        ::testing::internal::CaptureStderr();
        const auto controller = start_controller(fake_options());
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // no start line on failure
        ASSERT_FALSE(controller);
        EXPECT_EQ(controller.error(), c.message);
        EXPECT_EQ(fake_.init_calls, c.init_calls);
        EXPECT_EQ(fake_.apartments_left, c.apartments_left);
        EXPECT_EQ(fake_.contexts_destroyed, 0);
    }
}

TEST(ControllerText, ComFailureIsLowerCaseHexWithoutLeadingZeros) {
    EXPECT_EQ(com_failure_text(static_cast<std::int32_t>(0x8001010Eu)), "COM MTA initialization failed: 0x8001010e");
    EXPECT_EQ(com_failure_text(-1), "COM MTA initialization failed: 0xffffffff");
    EXPECT_EQ(com_failure_text(static_cast<std::int32_t>(0x80000000u)), "COM MTA initialization failed: 0x80000000");
}

TEST_F(Controller, FailedStartLeavesTheRegistryEmptyAndTheNextCallStartsAgain) {
    ControllerRegistry registry;
    fake_.failing_inits = 1;
    fake_.init_result = CUBEB_ERROR;
    const auto start = [] { return start_controller(fake_options()); };
    const auto first = registry.get(start);
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error(), "cubeb context: Error");
    EXPECT_FALSE(registry.holds_controller());
    const auto second = registry.get(start);
    ASSERT_TRUE(second) << second.error();
    EXPECT_TRUE(registry.holds_controller());
    const auto third = registry.get(start);
    ASSERT_TRUE(third) << third.error();
    EXPECT_EQ(second->get(), third->get());
    EXPECT_EQ(fake_.init_calls, 2);
}

TEST_F(Controller, ThreadEndingWithoutStartupReply) {
    ControllerRegistry registry;
    fake_.init_throws = true;
    const auto start = [] { return start_controller(fake_options()); };
    const auto failed = registry.get(start);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), "audio control thread exited");
    EXPECT_EQ(fake_.apartments_left, 1);  // the apartment was still left on the way out
    EXPECT_FALSE(registry.holds_controller());
    fake_.init_throws = false;
    const auto started = registry.get(start);
    ASSERT_TRUE(started) << started.error();
}

TEST_F(Controller, StartThatThrowsPoisonsTheRegistryForGood) {
    ControllerRegistry registry;
    const auto poisoned = registry.get([]() -> Result<SharedController> { throw std::bad_alloc(); });
    ASSERT_FALSE(poisoned);
    EXPECT_EQ(poisoned.error(), "audio controller registry poisoned");
    const auto again = registry.get([] { return start_controller(fake_options()); });
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), "audio controller registry poisoned");
    EXPECT_EQ(fake_.init_calls, 0);
}

TEST_F(Controller, ConcurrentFirstCallsShareOneThread) {
    ControllerRegistry registry;
    fake_.init_delay_ms = 50;  // keep the first start busy while the others arrive
    constexpr int callers = 8;
    std::latch go(callers);
    std::vector<AudioController*> seen(callers, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i) {
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            auto c = registry.get([] { return start_controller(fake_options()); });
            if (c) seen[static_cast<std::size_t>(i)] = c->get();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(fake_.init_calls, 1);
    ASSERT_NE(seen[0], nullptr);
    for (auto* c : seen) EXPECT_EQ(c, seen[0]);
}

TEST_F(Controller, RepliesNeverCrossBetweenRequesters) {
    auto controller = start_controller(fake_options());
    ASSERT_TRUE(controller) << controller.error();
    constexpr int requesters = 6;
    constexpr int rounds = 40;
    std::atomic<int> wrong{0};
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < requesters; ++i) {
        threads.emplace_back([&, i] {
            const auto direction = i % 2 ? DeviceDirection::Output : DeviceDirection::Input;
            for (int r = 0; r < rounds; ++r) {
                const auto devices = (*controller)->enumerate_devices(direction);
                if (!devices || devices->size() != 2) {
                    ++wrong;
                    continue;
                }
                for (const auto& d : *devices) {
                    const bool matches = direction == DeviceDirection::Output
                                             ? d.id == "out" && d.channels == 6 && d.direction == direction
                                             : d.id == "in" && d.channels == 1 && d.direction == direction;
                    if (!matches) ++wrong;
                }
                ++answered;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(answered, requesters * rounds);
    EXPECT_EQ(fake_.collections_destroyed, requesters * rounds);
}

TEST_F(Controller, EnumerationFailuresLeaveTheControllerUsable) {
    auto controller = start_controller(fake_options());
    ASSERT_TRUE(controller) << controller.error();
    fake_.failing_enumerations = 1;
    fake_.enumerate_result = CUBEB_ERROR_NOT_SUPPORTED;
    const auto refused = (*controller)->enumerate_devices(DeviceDirection::Input);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "cubeb enumerate: NotSupported");
    EXPECT_EQ(fake_.collections_destroyed, 0);  // nothing to free after a refusal

    fake_.null_identifier = true;
    const auto unconvertible = (*controller)->enumerate_devices(DeviceDirection::Output);
    ASSERT_FALSE(unconvertible);
    EXPECT_EQ(unconvertible.error(), "device has no stable identifier");
    EXPECT_EQ(fake_.collections_destroyed, 1);  // freed whatever the conversion gave

    fake_.null_identifier = false;
    fake_.throwing_enumerations = 1;
    const auto abandoned = (*controller)->enumerate_devices(DeviceDirection::Output);
    ASSERT_FALSE(abandoned);
    EXPECT_EQ(abandoned.error(), "audio controller exited during operation");

    const auto fine = (*controller)->enumerate_devices(DeviceDirection::Output);
    ASSERT_TRUE(fine) << fine.error();
    EXPECT_EQ(fine->size(), 2u);
}

TEST_F(Controller, RequestsAfterTheThreadEndedFailClosed) {
    auto controller = start_controller(fake_options());
    ASSERT_TRUE(controller) << controller.error();
    std::promise<void> release;
    auto released = release.get_future().share();
    ASSERT_TRUE((*controller)->send(RunMessage{ControllerJob([released](ControllerState&) { released.wait(); })}));
    ASSERT_TRUE((*controller)->send(ShutdownMessage{}));

    // Queued behind the shutdown: never run, dropped when the thread stops serving.
    struct Probe {
        std::atomic<bool>& ran;
        std::promise<void> dropped;
        ~Probe() { dropped.set_value(); }
    };
    std::atomic<bool> ran{false};
    std::unique_ptr<Probe> probe(new Probe{ran, {}});
    auto dropped = probe->dropped.get_future();
    ASSERT_TRUE((*controller)->send(
        RunMessage{ControllerJob([p = std::move(probe)](ControllerState&) { p->ran = true; })}));

    release.set_value();
    dropped.wait();
    EXPECT_FALSE(ran);
    const auto after = (*controller)->enumerate_devices(DeviceDirection::Input);
    ASSERT_FALSE(after);
    EXPECT_EQ(after.error(), "audio controller closed");
    const Status send = (*controller)->send(ShutdownMessage{});
    ASSERT_FALSE(send);
    EXPECT_EQ(send.error(), "audio controller closed");
    controller->reset();  // releasing a stopped controller just joins its thread
    EXPECT_EQ(fake_.contexts_destroyed, 1);
    EXPECT_EQ(fake_.apartments_left, 1);
}

TEST_F(Controller, DiagnosticsTickReportsRegisteredStreamsOnlyWhenOn) {
    for (const bool diagnostics : {true, false}) {
        SCOPED_TRACE(diagnostics);
        std::atomic<int> reports{0};
        std::atomic<bool> released{false};
        auto controller = start_controller(fake_options(diagnostics));
        ASSERT_TRUE(controller) << controller.error();
        ASSERT_TRUE((*controller)->send(RunMessage{ControllerJob([&](ControllerState& state) {
            state.streams[7] = std::make_unique<CountingStream>(reports, released);
        })}));
        if (diagnostics) {
            wait_until([&] { return reports >= 2; });  // the idle thread keeps ticking
            EXPECT_GE(reports, 2);
        } else {
            std::this_thread::sleep_for(1300ms);
            EXPECT_EQ(reports, 0);
        }
        controller->reset();
        EXPECT_TRUE(released);  // the table is released when the thread ends
    }
}

TEST_F(Controller, DiagnosticsFromTheEnvironmentEmptyValueCounts) {
    ASSERT_EQ(unsetenv("TAMSEL_AUDIO_DIAGNOSTICS"), 0);
    EXPECT_FALSE(diagnostics_from_environment());
    ASSERT_EQ(setenv("TAMSEL_AUDIO_DIAGNOSTICS", "", 1), 0);
    EXPECT_TRUE(diagnostics_from_environment());

    // Read once at start: the option left unset takes the environment.
    std::atomic<int> reports{0};
    std::atomic<bool> released{false};
    ControllerOptions options = fake_options();
    options.diagnostics.reset();
    ::testing::internal::CaptureStderr();
    auto controller = start_controller(options);
    ASSERT_EQ(unsetenv("TAMSEL_AUDIO_DIAGNOSTICS"), 0);
    ASSERT_TRUE(controller) << controller.error();
    std::this_thread::sleep_for(1200ms);  // idle with an empty table: no output
    ASSERT_TRUE((*controller)->send(RunMessage{ControllerJob([&](ControllerState& state) {
        state.streams[1] = std::make_unique<CountingStream>(reports, released);
    })}));
    wait_until([&] { return reports >= 1; });
    controller->reset();
    EXPECT_GE(reports, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "TAMSEL_AUDIO backend=fakeback binding=0.38.0\n");
}

// Each allocation of the starting thread fails in turn, the last one included, which comes after
// the thread has answered its start-up: every start returns (a start that joined a thread still
// serving would hang, ending the program with "HANG"), and a failed one leaves no thread behind.
TEST_F(Controller, AStartWhoseAllocationFailsReturnsAndEndsItsThread) {
    std::size_t failed_starts = 0;
    test::for_each_failing_allocation(
        30s, "start_controller",
        [] {
            Result<SharedController> controller = start_controller(fake_options());
            if (controller) {
                EXPECT_EQ((*controller)->backend(), "fakeback");
            }
        },
        [&](const test::FailingRun& run) {
            if (run.threw) ++failed_starts;
            EXPECT_EQ(fake_.init_calls.load(), fake_.contexts_destroyed.load()) << "a context left behind";
        });
    EXPECT_GT(failed_starts, 3u);
}

// The same through a registry: the start runs under its lock, and a throw there poisons it
// instead of hanging in it.
TEST_F(Controller, ARegistryStartThatThrowsReturnsUnderItsLock) {
    std::size_t poisoned = 0;
    test::for_each_failing_allocation(
        30s, "ControllerRegistry::get",
        [&] {
            ControllerRegistry registry;
            Result<SharedController> controller = registry.get([] { return start_controller(fake_options()); });
            if (!controller && controller.error() == "audio controller registry poisoned") ++poisoned;
        },
        [](const test::FailingRun&) {});
    EXPECT_GT(poisoned, 0u);
}

}  // namespace
}  // namespace tamsel
