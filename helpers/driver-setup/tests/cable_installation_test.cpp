// The health check and the installation sequence against the scripted installer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cable_installation.hpp"
#include "fake_device_installer.hpp"

namespace tamsel::setup {
namespace {

using test::FakeDevice;
using test::FakeDeviceInstaller;
using Calls = std::vector<std::string>;

// The run's staging folder, which ensure_cable_device is given.
const std::filesystem::path FOLDER = std::filesystem::path("Temp") / "tamsel-driver-setup-00";

std::u16string ids(std::initializer_list<std::u16string_view> entries) {
    std::u16string multi;
    for (const auto entry : entries) {
        multi += entry;
        multi.push_back(u'\0');
    }
    multi.push_back(u'\0');
    return multi;
}

std::string outcome(const SetupResult& r) {
    if (!r) return r.error();
    return r->reboot_required ? "ok, reboot" : "ok";
}

const Calls INSTALL_CALLS = {"create_device_list", "create_device", "set_hardware_ids", "register",
                             "update_driver", "destroy new set", "destroy class set", "unlock"};

Calls concat(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(WindowsError, UnsignedDecimal) {
    const struct {
        std::uint32_t code;
        const char* expected;
    } cases[] = {
        {0, "ctx: Windows error 0"},
        {5, "ctx: Windows error 5"},
        {0x7FFFFFFF, "ctx: Windows error 2147483647"},
        {0x80000000, "ctx: Windows error 2147483648"},
        {0xE000020B, "ctx: Windows error 3758096907"},
        {0xFFFFFFFF, "ctx: Windows error 4294967295"},
    };
    for (const auto& c : cases) EXPECT_EQ(windows_error("ctx", c.code), c.expected);
}

TEST(HardwareIdMatch, WholeBufferCaseFoldedExactLength) {
    const struct {
        const char* label;
        std::u16string content;  // placed at the start of the zeroed buffer
        bool matches;
    } cases[] = {
        {"exact", ids({u"VBAudioVACWDM"}), true},
        {"lower case", ids({u"vbaudiovacwdm"}), true},
        {"second entry", ids({u"ROOT\\MEDIA", u"VbAudioVacWdm"}), true},
        {"enumerator prefix", ids({u"ROOT\\VBAudioVACWDM"}), false},
        {"longer", ids({u"VBAudioVACWDM2"}), false},
        {"shorter", ids({u"VBAudioVACWD"}), false},
        {"trailing blank", ids({u"VBAudioVACWDM "}), false},
        {"after the double NUL", ids({u"OTHER"}) + u"VBAudioVACWDM", true},
        {"unpaired surrogate beside it", ids({u"VBAudioVACWDM\xD800"}), false},
        {"empty list", u"", false},
    };
    for (const auto& c : cases) {
        HardwareIdBuffer buffer{};
        c.content.copy(buffer.data(), buffer.size());
        EXPECT_EQ(hardware_ids_name_cable(buffer), c.matches) << c.label;
    }
}

TEST(HardwareIdMatch, LastPieceRunsToTheEndOfTheBuffer) {
    HardwareIdBuffer buffer{};
    const std::u16string id = u"VBAUDIOVACWDM";
    id.copy(buffer.data() + buffer.size() - id.size(), id.size());  // no NUL after it
    EXPECT_TRUE(hardware_ids_name_cable(buffer));
    buffer[buffer.size() - 1] = u'X';  // the last piece is now "VBAUDIOVACWDX"
    EXPECT_FALSE(hardware_ids_name_cable(buffer));
}

TEST(EnsureCableDevice, NoDeviceInstalls) {
    for (const bool reboot : {false, true}) {
        FakeDeviceInstaller installer;
        installer.devices = {FakeDevice{ids({u"PCI\\VEN_1234"})}, FakeDevice{ids({u"ROOT\\OTHER"})}};
        installer.update_reboot = reboot;
        EXPECT_EQ(outcome(ensure_cable_device(FOLDER, installer)), reboot ? "ok, reboot" : "ok");
        EXPECT_EQ(installer.calls,
                  concat({"read_inf_class", "lock", "open_class_set", "enumerate 0", "read_hardware_ids 0", "enumerate 1",
                          "read_hardware_ids 1", "enumerate 2"},
                         INSTALL_CALLS));
        const std::u16string expected_inf =
            (FOLDER.u16string() + static_cast<char16_t>(std::filesystem::path::preferred_separator)) +
            u"vbMmeCable64_win10.inf";
        EXPECT_EQ(installer.seen_inf_path, expected_inf);
        EXPECT_EQ(installer.seen_update_inf, expected_inf);
        EXPECT_EQ(installer.seen_update_id, u"VBAudioVACWDM");
        EXPECT_EQ(installer.seen_multi_sz, std::u16string(u"VBAudioVACWDM\0\0", 15));
        EXPECT_EQ(installer.seen_multi_sz.size() * sizeof(char16_t), 30u);
        EXPECT_EQ(installer.seen_lock_timeout, 120000u) << "a bounded wait of two minutes";
    }
}

TEST(EnsureCableDevice, ExistingDeviceWithADriverIsJudgedNeverReplaced) {
    const std::string unhealthy(UNHEALTHY_CABLE_MESSAGE);
    const Calls judged = {"read_inf_class", "lock", "open_class_set", "enumerate 0", "read_hardware_ids 0",
                          "enumerate 1", "read_hardware_ids 1", "node_status 1"};
    const struct {
        const char* label;
        std::u16string hardware_ids;
        std::uint32_t result, status, problem;
        DriverKey key;
        const char* expected;
    } cases[] = {
        {"healthy", ids({u"VBAudioVACWDM"}), 0, 0x0000000A, 0, DriverKey::Present, "ok"},
        {"healthy, lower-case id", ids({u"vbaudiovacwdm"}), 0, 0x00000008, 0, DriverKey::Present, "ok"},
        {"problem number", ids({u"VBAudioVACWDM"}), 0, 0x0000000A, 10, DriverKey::Present, unhealthy.c_str()},
        {"restart problem", ids({u"VBAudioVACWDM"}), 0, 0x0000000A, 14, DriverKey::Present, unhealthy.c_str()},
        {"not started", ids({u"VBAudioVACWDM"}), 0, 0x00000002, 0, DriverKey::Present, unhealthy.c_str()},
        {"needs restart, not started", ids({u"VBAudioVACWDM"}), 0, 0x00000100, 0, DriverKey::Present,
         unhealthy.c_str()},
        {"status query fails", ids({u"VBAudioVACWDM"}), 0x0000000D, 0x0000000A, 0, DriverKey::Present,
         unhealthy.c_str()},
        {"status query fails, driver key unreadable: nothing known", ids({u"VBAudioVACWDM"}), 0x0000000D, 0, 0,
         DriverKey::Unreadable, unhealthy.c_str()},
        {"not started, driver key unreadable", ids({u"VBAudioVACWDM"}), 0, 0, 0, DriverKey::Unreadable,
         unhealthy.c_str()},
    };
    for (const auto& c : cases) {
        FakeDeviceInstaller installer;
        FakeDevice device{c.hardware_ids, false, c.result, c.status, c.problem, c.key};
        installer.devices = {FakeDevice{ids({u"OTHER"})}, device};
        EXPECT_EQ(outcome(ensure_cable_device(FOLDER, installer)), c.expected) << c.label;
        const bool healthy = std::string(c.expected) == "ok";
        EXPECT_EQ(installer.calls, concat(judged, healthy ? Calls{"destroy class set", "unlock"}
                                                          : Calls{"driver_key 1", "destroy class set", "unlock"}))
            << c.label << ": nothing installed, removed or changed";
    }
}

// A device with the cable's identifier and no driver installed: what a run killed between the
// registration and the driver installation leaves. It gets the driver; nothing else does.
TEST(EnsureCableDevice, DeviceWithoutADriverGetsIt) {
    const std::string unhealthy(UNHEALTHY_CABLE_MESSAGE);
    const Calls found = {"read_inf_class", "lock", "open_class_set", "enumerate 0", "read_hardware_ids 0",
                         "node_status 0", "driver_key 0"};
    const Calls installed = concat(found, {"enumerate 1", "update_driver", "destroy class set", "unlock"});
    const struct {
        const char* label;
        std::uint32_t result, status, problem;  // of the node status query
        DriverKey key;
        void (*script)(FakeDeviceInstaller&);
        const char* expected;
        Calls calls;
    } cases[] = {
        {"no driver key", 0, 0, 0, DriverKey::Absent, nullptr, "ok", installed},
        {"no driver key, status unreadable", 0x0000000D, 0, 0, DriverKey::Absent, nullptr, "ok", installed},
        {"not configured", 0, 0, NODE_PROBLEM_NOT_CONFIGURED, DriverKey::Present, nullptr, "ok", installed},
        {"failed install", 0, 0, NODE_PROBLEM_FAILED_INSTALL, DriverKey::Unreadable, nullptr, "ok", installed},
        {"reinstall: it has a driver, which stays", 0, 0, NODE_PROBLEM_REINSTALL, DriverKey::Present, nullptr,
         unhealthy.c_str(), concat(found, {"destroy class set", "unlock"})},
        {"Windows asks for a restart", 0, 0, 0, DriverKey::Absent,
         [](FakeDeviceInstaller& f) { f.update_reboot = true; }, "ok, reboot", installed},
        {"the update fails: the device stays", 0, 0, 0, DriverKey::Absent,
         [](FakeDeviceInstaller& f) { f.update_error = 0xE0000203; }, "install signed cable: Windows error 3758096899",
         installed},
        {"another cable device would get the driver too", 0, 0, 0, DriverKey::Absent,
         [](FakeDeviceInstaller& f) { f.devices.push_back(FakeDevice{ids({u"ROOT\\X", u"vbaudiovacwdm"})}); },
         unhealthy.c_str(), concat(found, {"enumerate 1", "read_hardware_ids 1", "destroy class set", "unlock"})},
        {"the rest of the class cannot be listed", 0, 0, 0, DriverKey::Absent,
         [](FakeDeviceInstaller& f) { f.enumerate_error = {{1, 0x80000000}}; },
         "enumerate adapter: Windows error 2147483648", concat(found, {"enumerate 1", "destroy class set", "unlock"})},
    };
    for (const auto& c : cases) {
        FakeDeviceInstaller installer;
        installer.devices = {FakeDevice{ids({u"VBAudioVACWDM"}), false, c.result, c.status, c.problem, c.key}};
        if (c.script) c.script(installer);
        EXPECT_EQ(outcome(ensure_cable_device(FOLDER, installer)), c.expected) << c.label;
        EXPECT_EQ(installer.calls, c.calls) << c.label;
        if (installer.seen_update_inf.empty()) continue;
        EXPECT_EQ(installer.seen_update_id, u"VBAudioVACWDM") << c.label;
        EXPECT_EQ(installer.seen_update_inf, installer.seen_inf_path) << c.label << ": the staged INF";
    }
}

TEST(EnsureCableDevice, OnlyTheFirstOfTwoCableDevicesCounts) {
    FakeDeviceInstaller installer;
    installer.devices = {FakeDevice{ids({u"VBAudioVACWDM"}), false, 0, 0x0000000A, 0},
                         FakeDevice{ids({u"VBAudioVACWDM"}), false, 0, 0x00000000, 22}};
    EXPECT_EQ(outcome(ensure_cable_device(FOLDER, installer)), "ok");
    EXPECT_EQ(installer.calls, (Calls{"read_inf_class", "lock", "open_class_set", "enumerate 0", "read_hardware_ids 0",
                                      "node_status 0", "destroy class set", "unlock"}));
}

TEST(EnsureCableDevice, LongerIdentifierIsNotTheCable) {
    FakeDeviceInstaller installer;
    installer.devices = {FakeDevice{ids({u"ROOT\\VBAudioVACWDM", u"VBAudioVACWDMX"}), false, 0, 0, 22}};
    EXPECT_EQ(outcome(ensure_cable_device(FOLDER, installer)), "ok");
    EXPECT_EQ(installer.calls,
              concat({"read_inf_class", "lock", "open_class_set", "enumerate 0", "read_hardware_ids 0", "enumerate 1"},
                     INSTALL_CALLS));
}

TEST(EnsureCableDevice, FailingIdentifierQuerySkipsTheDevice) {
    FakeDeviceInstaller installer;
    FakeDevice unreadable{ids({u"VBAudioVACWDM"})};
    unreadable.ids_query_fails = true;
    installer.devices = {unreadable, FakeDevice{ids({u"VBAudioVACWDM"}), false, 0, 0x0000000A, 0}};
    EXPECT_EQ(outcome(ensure_cable_device(FOLDER, installer)), "ok");
    EXPECT_EQ(installer.calls, (Calls{"read_inf_class", "lock", "open_class_set", "enumerate 0", "read_hardware_ids 0",
                                      "enumerate 1", "read_hardware_ids 1", "node_status 1", "destroy class set", "unlock"}));
}

TEST(EnsureCableDevice, FailuresAndTheirCleanUp) {
    const Calls search = {"read_inf_class", "lock", "open_class_set", "enumerate 0"};
    const struct {
        const char* label;
        void (*script)(FakeDeviceInstaller&);
        const char* expected;
        Calls calls;
    } cases[] = {
        {"INF class", [](FakeDeviceInstaller& f) { f.inf_class_error = 0xE0000100; },
         "read signed INF: Windows error 3758096640", {"read_inf_class"}},
        {"class set", [](FakeDeviceInstaller& f) { f.open_class_set_error = 0xE000020B; },
         "enumerate audio adapters: Windows error 3758096907", {"read_inf_class", "lock", "open_class_set", "unlock"}},
        {"enumeration", [](FakeDeviceInstaller& f) { f.enumerate_error = {{0, 0x80000000}}; },
         "enumerate adapter: Windows error 2147483648", {"read_inf_class", "lock", "open_class_set", "enumerate 0",
                                                         "destroy class set", "unlock"}},
        {"new list", [](FakeDeviceInstaller& f) { f.create_list_error = 8; },
         "create device list: Windows error 8", concat(search, {"create_device_list", "destroy class set", "unlock"})},
        {"new device", [](FakeDeviceInstaller& f) { f.create_device_error = 0xE0000207; },
         "create cable device: Windows error 3758096903",
         concat(search, {"create_device_list", "create_device", "destroy new set", "destroy class set", "unlock"})},
        {"hardware id", [](FakeDeviceInstaller& f) { f.set_ids_error = 5; },
         "set cable hardware identity: Windows error 5",
         concat(search, {"create_device_list", "create_device", "set_hardware_ids", "destroy new set",
                         "destroy class set", "unlock"})},
        {"register", [](FakeDeviceInstaller& f) { f.register_error = 0xFFFFFFFF; },
         "register cable device: Windows error 4294967295",
         concat(search, {"create_device_list", "create_device", "set_hardware_ids", "register", "destroy new set",
                         "destroy class set", "unlock"})},
        {"update, then the removal", [](FakeDeviceInstaller& f) { f.update_error = 0xE0000247; },
         "install signed cable: Windows error 3758096967",
         concat(search, {"create_device_list", "create_device", "set_hardware_ids", "register", "update_driver",
                         "remove", "destroy new set", "destroy class set", "unlock"})},
        {"update refused for rights", [](FakeDeviceInstaller& f) { f.update_error = 5; },
         "install signed cable: Windows error 5",
         concat(search, {"create_device_list", "create_device", "set_hardware_ids", "register", "update_driver",
                         "remove", "destroy new set", "destroy class set", "unlock"})},
        {"installation lock not free in time",
         [](FakeDeviceInstaller& f) { f.lock_outcome = LockOutcome::TimedOut; },
         "Another VB-CABLE installation is still running; try again when it has finished.",
         {"read_inf_class", "lock"}},
        {"installation lock unavailable",
         [](FakeDeviceInstaller& f) {
             f.lock_outcome = LockOutcome::Failed;
             f.lock_error = 5;
         },
         "lock cable installation: Windows error 5", {"read_inf_class", "lock"}},
    };
    for (const auto& c : cases) {
        FakeDeviceInstaller installer;
        c.script(installer);
        EXPECT_EQ(outcome(ensure_cable_device(FOLDER, installer)), c.expected) << c.label;
        EXPECT_EQ(installer.calls, c.calls) << c.label;
    }
}

}  // namespace
}  // namespace tamsel::setup
