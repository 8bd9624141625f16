// AudioDevice records from hand-built cubeb device descriptions.

#include <gtest/gtest.h>

#include <vector>

#include "device_cubeb.hpp"

namespace tamsel {
namespace {

cubeb_device_info info(const char* id, cubeb_device_state state = CUBEB_DEVICE_STATE_ENABLED) {
    cubeb_device_info i{};
    i.device_id = id;
    i.friendly_name = "Speakers";
    i.group_id = "group";
    i.vendor_name = "vendor";
    i.type = CUBEB_DEVICE_TYPE_OUTPUT;
    i.state = state;
    i.preferred = CUBEB_DEVICE_PREF_NONE;
    i.max_channels = 2;
    i.default_rate = 48000;
    i.max_rate = 192000;
    i.min_rate = 8000;
    return i;
}

TEST(DeviceFromInfo, Table) {
    struct Case {
        const char* name;
        void (*edit)(cubeb_device_info&);
        const char* error;  // null: success
        const char* id = "";
        const char* device_name = "";
        std::uint16_t channels = 0;
        std::uint32_t rate = 0;
        bool is_default = false;
    };
    const Case cases[] = {
        {"plain", [](cubeb_device_info&) {}, nullptr, "dev", "Speakers", 2, 48000, false},
        {"null id", [](cubeb_device_info& i) { i.device_id = nullptr; }, "device has no stable identifier"},
        {"empty id", [](cubeb_device_info& i) { i.device_id = ""; }, "device has no stable identifier"},
        {"invalid UTF-8 in id", [](cubeb_device_info& i) { i.device_id = "a\xFF" "b"; }, nullptr, "a\xEF\xBF\xBD" "b",
         "Speakers", 2, 48000, false},
        {"invalid UTF-8 in name", [](cubeb_device_info& i) { i.friendly_name = "\xC3("; }, nullptr, "dev",
         "\xEF\xBF\xBD(", 2, 48000, false},
        {"null name", [](cubeb_device_info& i) { i.friendly_name = nullptr; }, nullptr, "dev", "", 2, 48000, false},
        {"65535 channels", [](cubeb_device_info& i) { i.max_channels = 65535; }, nullptr, "dev", "Speakers", 65535,
         48000, false},
        {"65536 channels", [](cubeb_device_info& i) { i.max_channels = 65536; }, "invalid channel count"},
        {"both faults: identifier first", [](cubeb_device_info& i) {
             i.device_id = nullptr;
             i.max_channels = 70000;
         }, "device has no stable identifier"},
        {"rate 0 kept", [](cubeb_device_info& i) { i.default_rate = 0; }, nullptr, "dev", "Speakers", 2, 0, false},
        {"voice only", [](cubeb_device_info& i) { i.preferred = CUBEB_DEVICE_PREF_VOICE; }, nullptr, "dev", "Speakers",
         2, 48000, false},
        {"all preferences", [](cubeb_device_info& i) { i.preferred = CUBEB_DEVICE_PREF_ALL; }, nullptr, "dev",
         "Speakers", 2, 48000, true},
        {"multimedia only", [](cubeb_device_info& i) { i.preferred = CUBEB_DEVICE_PREF_MULTIMEDIA; }, nullptr, "dev",
         "Speakers", 2, 48000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cubeb_device_info i = info("dev");
        c.edit(i);
        const auto device = device_from_info(i, DeviceDirection::Input);
        if (c.error) {
            ASSERT_FALSE(device);
            EXPECT_EQ(device.error(), c.error);
            continue;
        }
        ASSERT_TRUE(device) << device.error();
        EXPECT_EQ(device->id, c.id);
        EXPECT_EQ(device->name, c.device_name);
        EXPECT_EQ(device->channels, c.channels);
        EXPECT_EQ(device->default_rate, c.rate);
        EXPECT_EQ(device->is_default, c.is_default);
        // The direction is the request's, not cubeb's type field (which says output here).
        EXPECT_EQ(device->direction, DeviceDirection::Input);
    }
}

TEST(DeviceCollection, KeepsEnabledDevicesInOrder) {
    std::vector<cubeb_device_info> infos{info("b"), info("off", CUBEB_DEVICE_STATE_DISABLED), info("a"),
                                         info("unplugged", CUBEB_DEVICE_STATE_UNPLUGGED), info("b")};
    const cubeb_device_collection collection{infos.data(), infos.size()};
    const auto devices = devices_from_collection(collection, DeviceDirection::Output);
    ASSERT_TRUE(devices) << devices.error();
    ASSERT_EQ(devices->size(), 3u);  // no sorting, duplicates kept
    EXPECT_EQ((*devices)[0].id, "b");
    EXPECT_EQ((*devices)[1].id, "a");
    EXPECT_EQ((*devices)[2].id, "b");
    for (const auto& d : *devices) EXPECT_EQ(d.direction, DeviceDirection::Output);
}

TEST(DeviceCollection, OnlyDisabledOrUnpluggedGivesAnEmptyList) {
    std::vector<cubeb_device_info> infos{info(nullptr, CUBEB_DEVICE_STATE_DISABLED),
                                         info("x", CUBEB_DEVICE_STATE_UNPLUGGED)};
    infos[1].max_channels = 100000;
    const cubeb_device_collection collection{infos.data(), infos.size()};
    const auto devices = devices_from_collection(collection, DeviceDirection::Input);
    ASSERT_TRUE(devices) << devices.error();
    EXPECT_TRUE(devices->empty());
    const cubeb_device_collection empty{nullptr, 0};
    const auto none = devices_from_collection(empty, DeviceDirection::Input);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST(DeviceCollection, FirstFailingEnabledDeviceFailsTheList) {
    std::vector<cubeb_device_info> infos{info("good"), info(nullptr, CUBEB_DEVICE_STATE_DISABLED), info(nullptr),
                                         info("wide")};
    infos[3].max_channels = 65536;
    const cubeb_device_collection collection{infos.data(), infos.size()};
    const auto devices = devices_from_collection(collection, DeviceDirection::Input);
    ASSERT_FALSE(devices);
    EXPECT_EQ(devices.error(), "device has no stable identifier");
    infos[2].device_id = "fixed";
    const auto again = devices_from_collection(collection, DeviceDirection::Input);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), "invalid channel count");
}

}  // namespace
}  // namespace tamsel
