// The audio controller on real cubeb (WASAPI) under Wine, whose audio driver talks to a private
// PulseAudio daemon started by private-pulseaudio: null sinks "Tamsel_cable" (48000 Hz, default)
// and "Tamsel_other" (44100 Hz). WASAPI lists each sink as a render endpoint and each sink's
// monitor as a capture endpoint, named by the daemon's descriptions.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "controller_apartment.hpp"
#include "tamsel/audio/controller.hpp"

namespace tamsel {
namespace {

// Standard error of this process, caught in a pipe while `body` runs.
template <class F>
std::string captured_stderr(F body) {
    HANDLE read_end = nullptr, write_end = nullptr;
    EXPECT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 1 << 16));
    const HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, write_end);
    body();
    SetStdHandle(STD_ERROR_HANDLE, saved);
    CloseHandle(write_end);
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(read_end);
    return text;
}

const AudioDevice* named(const std::vector<AudioDevice>& devices, const std::string& part) {
    const auto found = std::find_if(devices.begin(), devices.end(),
                                    [&](const AudioDevice& d) { return d.name.find(part) != std::string::npos; });
    return found == devices.end() ? nullptr : &*found;
}

std::string listing(const std::vector<AudioDevice>& devices) {
    std::string text;
    for (const AudioDevice& d : devices)
        text += "  [" + d.name + "] id=" + d.id + " rate=" + std::to_string(d.default_rate) +
                " channels=" + std::to_string(d.channels) + (d.is_default ? " default" : "") + "\n";
    return text;
}

TEST(ControllerOnWasapi, StartLineAndTheDaemonsDevices) {
    Result<SharedController> controller = fail("not started");
    const std::string err = captured_stderr([&] { controller = shared_controller(); });
    ASSERT_TRUE(controller) << controller.error();
    EXPECT_EQ((*controller)->backend(), "wasapi");
    EXPECT_EQ(err, "TAMSEL_AUDIO backend=wasapi binding=0.38.0\n");

    const auto outputs = (*controller)->enumerate_devices(DeviceDirection::Output);
    ASSERT_TRUE(outputs) << outputs.error();
    const auto inputs = (*controller)->enumerate_devices(DeviceDirection::Input);
    ASSERT_TRUE(inputs) << inputs.error();
    const std::string seen = "outputs:\n" + listing(*outputs) + "inputs:\n" + listing(*inputs);

    struct Expected {
        const std::vector<AudioDevice>* list;
        DeviceDirection direction;
        const char* name;
        std::uint32_t rate;
    };
    const Expected expected[] = {
        {&*outputs, DeviceDirection::Output, "Tamsel_cable", 48000},
        {&*outputs, DeviceDirection::Output, "Tamsel_other", 44100},
        {&*inputs, DeviceDirection::Input, "Monitor of Tamsel_cable", 48000},
        {&*inputs, DeviceDirection::Input, "Monitor of Tamsel_other", 44100},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        const AudioDevice* device = named(*e.list, e.name);
        ASSERT_NE(device, nullptr) << seen;
        EXPECT_EQ(device->direction, e.direction);
        EXPECT_EQ(device->channels, 2);
        EXPECT_EQ(device->default_rate, e.rate) << seen;
        EXPECT_FALSE(device->id.empty());
    }
    // Render endpoints never appear as capture endpoints and the other way round.
    for (const AudioDevice& d : *outputs) EXPECT_EQ(d.name.find("Monitor of"), std::string::npos) << seen;
}

// The controller thread's apartment: entered once as the multithreaded apartment and left once
// when the controller stops, so no COM apartment outlives the controller.
std::atomic<int> entered{0}, left{0};
std::atomic<std::int32_t> enter_result{-1};
std::int32_t counting_enter() {
    ++entered;
    const std::int32_t hr = controller_detail::enter_thread_apartment();
    enter_result = hr;
    return hr;
}
void counting_leave() {
    ++left;
    controller_detail::leave_thread_apartment();
}

TEST(ControllerOnWasapi, ApartmentIsBalanced) {
    ControllerOptions options;
    options.enter_apartment = &counting_enter;
    options.leave_apartment = &counting_leave;
    {
        Result<SharedController> controller = fail("not started");
        captured_stderr([&] { controller = start_controller(options); });
        ASSERT_TRUE(controller) << controller.error();
        const auto outputs = (*controller)->enumerate_devices(DeviceDirection::Output);
        ASSERT_TRUE(outputs) << outputs.error();
        EXPECT_EQ(entered.load(), 1);
        EXPECT_EQ(enter_result.load(), S_OK);
        EXPECT_EQ(left.load(), 0) << "the apartment lives as long as the controller";
    }
    EXPECT_EQ(entered.load(), 1);
    EXPECT_EQ(left.load(), 1);
}

}  // namespace
}  // namespace tamsel
