// The process-wide controller on real cubeb against a private PulseAudio daemon with two null
// sinks: the backend cubeb picks, and the devices it lists for each direction.

#include <gtest/gtest.h>

#include <memory>

#include "controller_audio_env.hpp"
#include "tamsel/audio/controller.hpp"

namespace tamsel {
namespace {

class PulseControllerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        env_ = new testing::AudioEnvironment;
        std::string why;
        if (!env_->start_daemon(why)) problem_ = new std::string(why);
    }
    static void TearDownTestSuite() {
        delete env_;
        env_ = nullptr;
        delete problem_;
        problem_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(problem_, nullptr) << *problem_; }

    static testing::AudioEnvironment* env_;
    static std::string* problem_;
};
testing::AudioEnvironment* PulseControllerTest::env_ = nullptr;
std::string* PulseControllerTest::problem_ = nullptr;

TEST_F(PulseControllerTest, StartLineNamesPulse) {
    ::testing::internal::CaptureStderr();
    const auto controller = shared_controller();
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(controller) << controller.error();
    EXPECT_EQ((*controller)->backend(), "pulse");
    EXPECT_EQ(err, "TAMSEL_AUDIO backend=pulse binding=0.38.0\n");
    const auto again = shared_controller();
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(again->get(), controller->get());
}

TEST_F(PulseControllerTest, ListsTheSinksAndTheirMonitors) {
    struct Expected {
        DeviceDirection direction;
        const char* id;
        std::uint32_t rate;
        bool is_default;
    };
    const Expected expected[] = {
        {DeviceDirection::Input, "cable.monitor", 48000, true},
        {DeviceDirection::Input, "other.monitor", 44100, false},
        {DeviceDirection::Output, "cable", 48000, true},
        {DeviceDirection::Output, "other", 44100, false},
    };
    const auto controller = shared_controller();
    ASSERT_TRUE(controller) << controller.error();
    const auto inputs = (*controller)->enumerate_devices(DeviceDirection::Input);
    ASSERT_TRUE(inputs) << inputs.error();
    const auto outputs = (*controller)->enumerate_devices(DeviceDirection::Output);
    ASSERT_TRUE(outputs) << outputs.error();
    ASSERT_EQ(inputs->size(), 2u);
    ASSERT_EQ(outputs->size(), 2u);
    std::vector<AudioDevice> all = *inputs;
    all.insert(all.end(), outputs->begin(), outputs->end());
    for (std::size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(expected[i].id);
        EXPECT_EQ(all[i].id, expected[i].id);
        EXPECT_EQ(all[i].direction, expected[i].direction);
        EXPECT_EQ(all[i].channels, 2);
        EXPECT_EQ(all[i].default_rate, expected[i].rate);
        EXPECT_EQ(all[i].is_default, expected[i].is_default);
        EXPECT_FALSE(all[i].name.empty());
    }
}

}  // namespace
}  // namespace tamsel
