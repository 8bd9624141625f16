// The process-wide controller on real cubeb with no sound server reachable: cubeb falls back
// to ALSA, whose enumeration is refused; the controller stays usable.

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <thread>
#include <vector>

#include "controller_audio_env.hpp"
#include "tamsel/audio/controller.hpp"

namespace tamsel {
namespace {

class NoServerControllerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { env_ = new testing::AudioEnvironment; }
    static void TearDownTestSuite() {
        delete env_;
        env_ = nullptr;
    }
    static testing::AudioEnvironment* env_;
};
testing::AudioEnvironment* NoServerControllerTest::env_ = nullptr;

// First in this program: the registry is still empty here.
TEST_F(NoServerControllerTest, ConcurrentFirstCallsStartOneThread) {
    constexpr int callers = 6;
    std::latch go(callers);
    std::vector<AudioController*> seen(callers, nullptr);
    std::vector<std::thread> threads;
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < callers; ++i) {
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            const auto c = shared_controller();
            if (c) seen[static_cast<std::size_t>(i)] = c->get();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "TAMSEL_AUDIO backend=alsa binding=0.38.0\n");
    ASSERT_NE(seen[0], nullptr);
    for (auto* c : seen) EXPECT_EQ(c, seen[0]);
    EXPECT_TRUE(controller_registry().holds_controller());
}

TEST_F(NoServerControllerTest, EnumerationFailsAndTheControllerStaysUsable) {
    const auto controller = shared_controller();
    ASSERT_TRUE(controller) << controller.error();
    EXPECT_EQ((*controller)->backend(), "alsa");
    for (const auto direction : {DeviceDirection::Input, DeviceDirection::Output, DeviceDirection::Input}) {
        const auto devices = (*controller)->enumerate_devices(direction);
        ASSERT_FALSE(devices);
        EXPECT_EQ(devices.error(), "cubeb enumerate: Error");
    }
    std::promise<bool> served;
    auto answer = served.get_future();
    ASSERT_TRUE((*controller)->send(
        RunMessage{ControllerJob([&served](ControllerState& state) { served.set_value(state.context != nullptr); })}));
    EXPECT_TRUE(answer.get());
    const auto same = shared_controller();
    ASSERT_TRUE(same) << same.error();
    EXPECT_EQ(same->get(), controller->get());
}

}  // namespace
}  // namespace tamsel
