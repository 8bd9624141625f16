// Cable detection rules against a scripted device tree and scripted device lists.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cable_detection.hpp"
#include "detection_fake_tree.hpp"

namespace tamsel::setup {
namespace {

using testing::FakeTree;
using testing::started_status;

std::string describe(const CableStatus& status) {
    if (std::holds_alternative<Absent>(status)) return "Absent";
    if (std::holds_alternative<DriverMissing>(status)) return "DriverMissing";
    if (std::holds_alternative<EndpointsMissing>(status)) return "EndpointsMissing";
    if (std::holds_alternative<RestartPending>(status)) return "RestartPending";
    if (std::holds_alternative<Ready>(status)) return "Ready";
    return "Problem: " + std::get<Problem>(status).message;
}

AudioDevice device(std::string id, DeviceDirection direction, std::uint16_t channels = 2,
                   std::uint32_t rate = 48000) {
    AudioDevice d;
    d.id = std::move(id);
    d.name = "name of " + d.id;
    d.direction = direction;
    d.channels = channels;
    d.default_rate = rate;
    return d;
}

constexpr auto In = DeviceDirection::Input;
constexpr auto Out = DeviceDirection::Output;
constexpr DevNode VB_NODE = 100;
constexpr DevNode VB2_NODE = 101;
constexpr DevNode HIFI_NODE = 200;
constexpr DevNode OTHER_NODE = 300;

// --- scan_driver_devices ------------------------------------------------------------------

TEST(DetectionScan, RetriesTheListTwiceThenGoesOn) {
    FakeTree tree;
    tree.device(u"ROOT\\MEDIA\\0000", VB_NODE, {u"VBAudioVACWDM"});
    tree.list_results = {false, false, true};
    const auto drivers = scan_driver_devices(tree);
    ASSERT_TRUE(drivers) << drivers.error();
    EXPECT_EQ(tree.size_calls, 3);  // a fresh size query before every list call
    EXPECT_EQ(tree.list_calls, 3);
    ASSERT_EQ(drivers->size(), 1u);
    EXPECT_EQ((*drivers)[0].devnode, VB_NODE);
}

TEST(DetectionScan, FailureMessagesOfTheDeviceList) {
    struct Case {
        const char* name;
        std::vector<bool> sizes;
        std::vector<bool> lists;
        int expected_size_calls;
        int expected_list_calls;
        const char* message;
    };
    const Case cases[] = {
        {"three list failures", {true}, {false}, 3, 3, "Audio devices changed during detection; refresh again"},
        {"first size query fails", {false}, {true}, 1, 0, "Cannot enumerate Windows audio driver identities"},
        {"size fails on the retry", {true, false}, {false}, 2, 1, "Cannot enumerate Windows audio driver identities"},
        {"size fails on the third attempt", {true, true, false}, {false}, 3, 2,
         "Cannot enumerate Windows audio driver identities"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTree tree;
        tree.device(u"ROOT\\MEDIA\\0000", VB_NODE, {u"VBAudioVACWDM"});
        tree.size_results = c.sizes;
        tree.list_results = c.lists;
        const auto drivers = scan_driver_devices(tree);
        ASSERT_FALSE(drivers);
        EXPECT_EQ(drivers.error(), c.message);
        EXPECT_EQ(tree.size_calls, c.expected_size_calls);
        EXPECT_EQ(tree.list_calls, c.expected_list_calls);
    }
}

TEST(DetectionScan, ListLengthIsTheQueriedSizeAndAnEmptyListIsNoDevice) {
    FakeTree tree;
    tree.size_slack = 0;  // the size query reports 0 units
    const auto drivers = scan_driver_devices(tree);
    ASSERT_TRUE(drivers) << drivers.error();
    EXPECT_TRUE(drivers->empty());
    ASSERT_EQ(tree.list_lengths.size(), 1u);
    EXPECT_EQ(tree.list_lengths[0], 0u);
}

TEST(DetectionScan, HardwareIdentifierMatching) {
    struct Case {
        std::u16string hardware_id;
        bool matches;
        const char* identity_kept;
    };
    const Case cases[] = {
        {u"VBAudioVACWDM", true, "VBAudioVACWDM"},
        {u"vbaudiovacwdm", true, "vbaudiovacwdm"},
        {u"VBAUDIOHFVAIO", true, "VBAUDIOHFVAIO"},
        {u"VBAudioVACWDM1", false, ""},  // 14 characters
        {u"VBAudioVACWD", false, ""},
        {u"ROOT\\VBAudioVACWDM", false, ""},
        {u"VBAudio\u00C4ACWDM", false, ""},  // no folding beyond ASCII
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf16_to_utf8(c.hardware_id));
        FakeTree tree;
        tree.device(u"ROOT\\MEDIA\\0000", VB_NODE, {u"OTHER\\ID", c.hardware_id});
        const auto drivers = scan_driver_devices(tree);
        ASSERT_TRUE(drivers) << drivers.error();
        ASSERT_EQ(drivers->size(), c.matches ? 1u : 0u);
        if (c.matches) {
            EXPECT_EQ((*drivers)[0].identity, c.identity_kept);
        }
    }
}

TEST(DetectionScan, NodeListingAnIdentityTwiceGivesTwoRecordsInOrder) {
    FakeTree tree;
    tree.device(u"ROOT\\A", VB_NODE, {u"VBAudioVACWDM", u"x", u"vbaudiovacwdm"});
    tree.device(u"ROOT\\B", HIFI_NODE, {u"VBAudioHFVAIO"});
    const auto drivers = scan_driver_devices(tree);
    ASSERT_TRUE(drivers) << drivers.error();
    ASSERT_EQ(drivers->size(), 3u);
    EXPECT_EQ((*drivers)[0].identity, "VBAudioVACWDM");
    EXPECT_EQ((*drivers)[1].identity, "vbaudiovacwdm");
    EXPECT_EQ((*drivers)[1].devnode, VB_NODE);
    EXPECT_EQ((*drivers)[2].devnode, HIFI_NODE);
}

TEST(DetectionScan, SilentSkipsOfUnlocatableAndUnreadableNodes) {
    FakeTree tree;
    tree.device(u"ROOT\\GONE", 1, {u"VBAudioVACWDM"});
    tree.nodes.erase(u"ROOT\\GONE");           // cannot be located
    tree.device(u"ROOT\\UNREADABLE", 2, {});
    tree.hardware[2] = std::nullopt;           // hardware identifiers cannot be read
    tree.device(u"ROOT\\OK", VB_NODE, {u"VBAudioVACWDM"});
    const auto drivers = scan_driver_devices(tree);
    ASSERT_TRUE(drivers) << drivers.error();
    ASSERT_EQ(drivers->size(), 1u);
    EXPECT_EQ((*drivers)[0].devnode, VB_NODE);
    const std::vector<std::u16string> located{u"ROOT\\GONE", u"ROOT\\UNREADABLE", u"ROOT\\OK"};
    EXPECT_EQ(tree.located, located);
}

TEST(DetectionScan, StartedAndDriverMissingFromStatusAndDriverKey) {
    struct Case {
        const char* name;
        std::optional<NodeStatus> status;
        DriverKey key;
        bool started;
        bool driver_missing;
    };
    const Case cases[] = {
        {"started", NodeStatus{NODE_FLAG_STARTED | 0x2, 0}, DriverKey::Present, true, false},
        {"started: the driver key is not even read", NodeStatus{NODE_FLAG_STARTED, 0}, DriverKey::Absent, true, false},
        {"started with a problem", NodeStatus{NODE_FLAG_STARTED, 10}, DriverKey::Present, false, false},
        {"not started", NodeStatus{0x2, 0}, DriverKey::Present, false, false},
        {"status unreadable", std::nullopt, DriverKey::Present, false, false},
        {"no driver key", NodeStatus{0, 0}, DriverKey::Absent, false, true},
        {"no driver key, status unreadable", std::nullopt, DriverKey::Absent, false, true},
        {"not configured", NodeStatus{0, NODE_PROBLEM_NOT_CONFIGURED}, DriverKey::Present, false, true},
        {"failed install, key unreadable", NodeStatus{0, NODE_PROBLEM_FAILED_INSTALL}, DriverKey::Unreadable, false,
         true},
        {"reinstall: it has a driver", NodeStatus{0, NODE_PROBLEM_REINSTALL}, DriverKey::Present, false, false},
        {"nothing known", std::nullopt, DriverKey::Unreadable, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTree tree;
        tree.device(u"ROOT\\A", VB_NODE, {u"VBAudioVACWDM"}, c.status);
        if (!c.status) tree.statuses.erase(VB_NODE);
        tree.driver_keys[VB_NODE] = c.key;
        const auto drivers = scan_driver_devices(tree);
        ASSERT_TRUE(drivers) << drivers.error();
        ASSERT_EQ(drivers->size(), 1u);
        EXPECT_EQ((*drivers)[0].started, c.started);
        EXPECT_EQ((*drivers)[0].driver_missing, c.driver_missing);
        if (c.started) {
            EXPECT_EQ(tree.driver_key_calls[VB_NODE], 0);
        }
    }
}

// --- endpoint_under_devnode ---------------------------------------------------------------

TEST(DetectionAncestry, AtMostEightParents) {
    for (int levels = 1; levels <= 10; ++levels) {
        SCOPED_TRACE(levels);
        FakeTree tree;
        tree.endpoint("{0.0.0.00000000}.{ep}", VB_NODE, levels);
        EXPECT_EQ(endpoint_under_devnode(tree, "{0.0.0.00000000}.{ep}", VB_NODE), levels <= 8);
        ASSERT_FALSE(tree.located.empty());
        EXPECT_EQ(tree.located[0], u"SWD\\MMDEVAPI\\{0.0.0.00000000}.{ep}");
    }
}

TEST(DetectionAncestry, FailuresAndTheEndpointsOwnNode) {
    FakeTree tree;
    tree.endpoint("other", OTHER_NODE, 2);
    EXPECT_FALSE(endpoint_under_devnode(tree, "other", VB_NODE));     // another driver's
    EXPECT_FALSE(endpoint_under_devnode(tree, "missing", VB_NODE));   // not locatable
    tree.nodes[u"SWD\\MMDEVAPI\\broken"] = 42;                         // no parent: walk fails
    EXPECT_FALSE(endpoint_under_devnode(tree, "broken", 42));         // own node not compared
    tree.parents[42] = 43;
    tree.parents[43] = 42;  // reached again as a parent, the node counts
    EXPECT_TRUE(endpoint_under_devnode(tree, "broken", 42));
}

// --- passes_form_factor_rule --------------------------------------------------------------

TEST(DetectionFormFactor, OnlyVbCableRenderEndpointsAreRead) {
    struct Case {
        const char* name;
        std::string_view identity;
        DeviceDirection direction;
        std::optional<std::uint32_t> form_factor;
        bool passes;
        bool read;
    };
    const Case cases[] = {
        {"VB render, Speakers", VB_CABLE_IDENTITY, Out, 1u, true, true},
        {"VB render, Headphones", VB_CABLE_IDENTITY, Out, 3u, false, true},
        {"VB render, unreadable", VB_CABLE_IDENTITY, Out, std::nullopt, false, true},
        {"VB capture", VB_CABLE_IDENTITY, In, 4u, true, false},
        {"Hi-Fi render, Headphones", HIFI_CABLE_IDENTITY, Out, 3u, true, false},
        {"lower-case identity is not the constant", "vbaudiovacwdm", Out, 3u, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTree tree;
        if (c.form_factor) tree.form_factors["ep"] = *c.form_factor;
        EXPECT_EQ(passes_form_factor_rule(tree, c.identity, device("ep", c.direction)), c.passes);
        EXPECT_EQ(tree.form_factor_reads.size(), c.read ? 1u : 0u);
    }
}

// --- cable_outcome ------------------------------------------------------------------------

struct Scenario {
    FakeTree tree;
    std::vector<AudioDevice> devices;

    // A device endpoint under `driver` with the given form factor (1 = Speakers).
    void add(const std::string& id, DeviceDirection direction, DevNode driver, std::uint16_t channels = 2,
             std::uint32_t rate = 48000, std::uint32_t form_factor = 1, int levels = 2) {
        tree.endpoint(id, driver, levels);
        tree.form_factors[id] = form_factor;
        devices.push_back(device(id, direction, channels, rate));
    }
};

struct OutcomeCase {
    const char* name;
    std::function<void(Scenario&)> build;
    std::string_view identity;
    const char* status;
    const char* render_id;
    const char* capture_id;
};

void vb_device(Scenario& s) { s.tree.device(u"ROOT\\MEDIA\\0000", VB_NODE, {u"VBAudioVACWDM"}); }
void hifi_device(Scenario& s) { s.tree.device(u"ROOT\\MEDIA\\0001", HIFI_NODE, {u"VBAudioHFVAIO"}); }

TEST(DetectionOutcome, EveryRuleInOrder) {
    const OutcomeCase cases[] = {
        {"no device carries the identity", [](Scenario& s) { hifi_device(s); }, VB_CABLE_IDENTITY, "Absent", "", ""},
        {"two healthy devices", [](Scenario& s) {
             vb_device(s);
             s.tree.device(u"ROOT\\MEDIA\\0002", VB2_NODE, {u"VBAUDIOVACWDM"});
             s.add("r", Out, VB_NODE);
             s.add("c", In, VB_NODE);
         }, VB_CABLE_IDENTITY, "Problem: Duplicate driver devices; check Device Manager", "", ""},
        {"problem 14 and not started", [](Scenario& s) {
             s.tree.device(u"ROOT\\MEDIA\\0000", VB_NODE, {u"VBAudioVACWDM"}, NodeStatus{0, NODE_PROBLEM_NEED_RESTART});
         }, VB_CABLE_IDENTITY, "RestartPending", "", ""},
        {"registered, no driver installed", [](Scenario& s) {
             s.tree.device(u"ROOT\\MEDIA\\0000", VB_NODE, {u"VBAudioVACWDM"}, NodeStatus{0, 0});
             s.tree.driver_keys[VB_NODE] = DriverKey::Absent;
         }, VB_CABLE_IDENTITY, "DriverMissing", "", ""},
        {"failed install with endpoints of an older driver", [](Scenario& s) {
             s.tree.device(u"ROOT\\MEDIA\\0000", VB_NODE, {u"VBAudioVACWDM"},
                           NodeStatus{0, NODE_PROBLEM_FAILED_INSTALL});
             s.add("r", Out, VB_NODE);
             s.add("c", In, VB_NODE);
         }, VB_CABLE_IDENTITY, "DriverMissing", "", ""},
        {"no driver key, but a restart is pending", [](Scenario& s) {
             s.tree.device(u"ROOT\\MEDIA\\0000", VB_NODE, {u"VBAudioVACWDM"}, NodeStatus{NODE_FLAG_NEED_RESTART, 0});
             s.tree.driver_keys[VB_NODE] = DriverKey::Absent;
         }, VB_CABLE_IDENTITY, "RestartPending", "", ""},
        {"two devices, one without a driver", [](Scenario& s) {
             vb_device(s);
             s.tree.device(u"ROOT\\MEDIA\\0002", VB2_NODE, {u"VBAudioVACWDM"}, NodeStatus{0, 0});
             s.tree.driver_keys[VB2_NODE] = DriverKey::Absent;
         }, VB_CABLE_IDENTITY, "Problem: Duplicate driver devices; check Device Manager", "", ""},
        {"restart flag appears after the scan", [](Scenario& s) {
             vb_device(s);
             s.tree.statuses[VB_NODE] = {started_status(), NodeStatus{NODE_FLAG_STARTED | NODE_FLAG_NEED_RESTART, 0}};
             s.add("r", Out, VB_NODE);
             s.add("c", In, VB_NODE);
         }, VB_CABLE_IDENTITY, "RestartPending", "", ""},
        {"not started, second status unreadable", [](Scenario& s) {
             s.tree.device(u"ROOT\\MEDIA\\0000", VB_NODE, {u"VBAudioVACWDM"}, NodeStatus{0, 0});
             s.tree.statuses[VB_NODE] = {NodeStatus{0, 0}, std::nullopt};
         }, VB_CABLE_IDENTITY, "Problem: Driver is not started; check Device Manager and restart Windows", "", ""},
        {"started but the second status fails: no restart rule", [](Scenario& s) {
             vb_device(s);
             s.tree.statuses[VB_NODE] = {started_status(), std::nullopt};
             s.add("r", Out, VB_NODE);
             s.add("c", In, VB_NODE);
         }, VB_CABLE_IDENTITY, "Ready", "r", "c"},
        {"stereo pair beside a 16-channel render", [](Scenario& s) {
             vb_device(s);
             s.add("c", In, VB_NODE);
             s.add("r16", Out, VB_NODE, 16);
             s.add("r", Out, VB_NODE);
         }, VB_CABLE_IDENTITY, "Ready", "r", "c"},
        {"two stereo renders, no stereo capture", [](Scenario& s) {
             vb_device(s);
             s.add("r1", Out, VB_NODE);
             s.add("r2", Out, VB_NODE);
             s.add("c1", In, VB_NODE, 1);
         }, VB_CABLE_IDENTITY, "EndpointsMissing", "", ""},
        {"two stereo renders, one stereo capture", [](Scenario& s) {
             vb_device(s);
             s.add("r1", Out, VB_NODE);
             s.add("r2", Out, VB_NODE);
             s.add("c", In, VB_NODE);
         }, VB_CABLE_IDENTITY, "Problem: Ambiguous cable endpoints; check Device Manager", "", ""},
        {"two captures, one render", [](Scenario& s) {
             vb_device(s);
             s.add("r", Out, VB_NODE);
             s.add("c1", In, VB_NODE);
             s.add("c2", In, VB_NODE);
         }, VB_CABLE_IDENTITY, "Problem: Ambiguous cable endpoints; check Device Manager", "", ""},
        {"VB render not Speakers", [](Scenario& s) {
             vb_device(s);
             s.add("r", Out, VB_NODE, 2, 48000, 3);
             s.add("c", In, VB_NODE, 2, 48000, 3);
         }, VB_CABLE_IDENTITY, "EndpointsMissing", "", ""},
        {"same endpoints under Hi-Fi", [](Scenario& s) {
             hifi_device(s);
             s.add("r", Out, HIFI_NODE, 2, 48000, 3);
             s.add("c", In, HIFI_NODE, 2, 48000, 3);
         }, HIFI_CABLE_IDENTITY, "Ready", "r", "c"},
        {"endpoints of another node", [](Scenario& s) {
             vb_device(s);
             s.add("r", Out, OTHER_NODE);
             s.add("c", In, OTHER_NODE);
         }, VB_CABLE_IDENTITY, "EndpointsMissing", "", ""},
        {"endpoints eight levels below", [](Scenario& s) {
             vb_device(s);
             s.add("r", Out, VB_NODE, 2, 48000, 1, 8);
             s.add("c", In, VB_NODE, 2, 48000, 1, 8);
         }, VB_CABLE_IDENTITY, "Ready", "r", "c"},
        {"render nine levels below", [](Scenario& s) {
             vb_device(s);
             s.add("r", Out, VB_NODE, 2, 48000, 1, 9);
             s.add("c", In, VB_NODE, 2, 48000, 1, 8);
         }, VB_CABLE_IDENTITY, "EndpointsMissing", "", ""},
        {"Hi-Fi rates differ", [](Scenario& s) {
             hifi_device(s);
             s.add("c", In, HIFI_NODE, 2, 48000);
             s.add("r", Out, HIFI_NODE, 2, 44100);
         }, HIFI_CABLE_IDENTITY,
         "Problem: Hi-Fi Cable sample rates differ (44100 / 48000 Hz); set both ends to stereo 48 kHz in mmsys.cpl",
         "r", "c"},
        {"Hi-Fi both 44100", [](Scenario& s) {
             hifi_device(s);
             s.add("r", Out, HIFI_NODE, 2, 44100);
             s.add("c", In, HIFI_NODE, 2, 44100);
         }, HIFI_CABLE_IDENTITY, "Ready", "r", "c"},
        {"Hi-Fi both 0", [](Scenario& s) {
             hifi_device(s);
             s.add("r", Out, HIFI_NODE, 2, 0);
             s.add("c", In, HIFI_NODE, 2, 0);
         }, HIFI_CABLE_IDENTITY,
         "Problem: Hi-Fi Cable sample rates differ (0 / 0 Hz); set both ends to stereo 48 kHz in mmsys.cpl", "r", "c"},
        {"VB cable ignores rates", [](Scenario& s) {
             vb_device(s);
             s.add("r", Out, VB_NODE, 2, 0);
             s.add("c", In, VB_NODE, 2, 44100);
         }, VB_CABLE_IDENTITY, "Ready", "r", "c"},
        {"Hi-Fi identity stored in lower case", [](Scenario& s) {
             s.tree.device(u"ROOT\\MEDIA\\0001", HIFI_NODE, {u"vbaudiohfvaio"});
             s.add("r", Out, HIFI_NODE, 2, 44100);
             s.add("c", In, HIFI_NODE, 2, 48000);
         }, HIFI_CABLE_IDENTITY,
         "Problem: Hi-Fi Cable sample rates differ (44100 / 48000 Hz); set both ends to stereo 48 kHz in mmsys.cpl",
         "r", "c"},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s;
        c.build(s);
        const auto drivers = scan_driver_devices(s.tree);
        ASSERT_TRUE(drivers) << drivers.error();
        const CableOutcome outcome = cable_outcome(s.tree, c.identity, *drivers, s.devices);
        EXPECT_EQ(describe(outcome.status), c.status);
        EXPECT_EQ(outcome.render_id, c.render_id);
        EXPECT_EQ(outcome.capture_id, c.capture_id);
    }
}

// --- detect_cable_endpoints ---------------------------------------------------------------

struct Lists {
    std::vector<DeviceDirection> requested;
    Result<std::vector<AudioDevice>> inputs = std::vector<AudioDevice>{};
    Result<std::vector<AudioDevice>> outputs = std::vector<AudioDevice>{};

    DeviceListProvider provider() {
        return [this](DeviceDirection d) -> Result<std::vector<AudioDevice>> {
            requested.push_back(d);
            return d == In ? inputs : outputs;
        };
    }
};

TEST(DetectionReport, NoCableLeavesIdentifiersEmptyAndKeepsTheDevices) {
    FakeTree tree;
    tree.device(u"ROOT\\OTHER", OTHER_NODE, {u"SOMETHING"});
    Lists lists;
    lists.inputs = std::vector<AudioDevice>{device("mic", In), device("line", In)};
    lists.outputs = std::vector<AudioDevice>{device("spk", Out)};
    const auto report = detect_cable_endpoints(tree, lists.provider());
    ASSERT_TRUE(report) << report.error();
    EXPECT_EQ(describe(report->vb_cable), "Absent");
    EXPECT_EQ(describe(report->hifi_cable), "Absent");
    EXPECT_EQ(report->vb_render_id + report->vb_capture_id + report->hifi_render_id + report->hifi_capture_id, "");
    ASSERT_EQ(report->devices.size(), 3u);
    EXPECT_EQ(report->devices[0].id, "mic");
    EXPECT_EQ(report->devices[1].id, "line");
    EXPECT_EQ(report->devices[2].id, "spk");
    EXPECT_EQ(lists.requested, (std::vector<DeviceDirection>{In, Out}));
}

TEST(DetectionReport, BothCablesWithTheirPairs) {
    Scenario s;
    vb_device(s);
    hifi_device(s);
    s.add("vb-r", Out, VB_NODE);
    s.add("hifi-r", Out, HIFI_NODE, 2, 44100);
    s.add("vb-c", In, VB_NODE);
    s.add("hifi-c", In, HIFI_NODE, 2, 96000);
    Lists lists;
    lists.inputs = std::vector<AudioDevice>{s.devices[2], s.devices[3]};
    lists.outputs = std::vector<AudioDevice>{s.devices[0], s.devices[1]};
    const auto report = detect_cable_endpoints(s.tree, lists.provider());
    ASSERT_TRUE(report) << report.error();
    EXPECT_EQ(describe(report->vb_cable), "Ready");
    EXPECT_EQ(report->vb_render_id, "vb-r");
    EXPECT_EQ(report->vb_capture_id, "vb-c");
    EXPECT_EQ(describe(report->hifi_cable),
              "Problem: Hi-Fi Cable sample rates differ (44100 / 96000 Hz); set both ends to stereo 48 kHz in mmsys.cpl");
    EXPECT_EQ(report->hifi_render_id, "hifi-r");
    EXPECT_EQ(report->hifi_capture_id, "hifi-c");
    ASSERT_EQ(report->devices.size(), 4u);
    EXPECT_EQ(report->devices[0].id, "vb-c");
    EXPECT_EQ(report->devices[3].id, "hifi-r");
}

TEST(DetectionReport, FailuresEndTheDetectionWithTheirMessage) {
    struct Case {
        const char* name;
        bool scan_fails;
        bool inputs_fail;
        bool outputs_fail;
        const char* message;
        std::vector<DeviceDirection> requested;
    };
    const Case cases[] = {
        {"scan", true, false, false, "Cannot enumerate Windows audio driver identities", {}},
        {"inputs", false, true, true, "cubeb enumerate: Error", {In}},
        {"outputs", false, false, true, "audio controller closed", {In, Out}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s;
        vb_device(s);
        if (c.scan_fails) s.tree.size_results = {false};
        Lists lists;
        if (c.inputs_fail) lists.inputs = fail("cubeb enumerate: Error");
        if (c.outputs_fail) lists.outputs = fail("audio controller closed");
        const auto report = detect_cable_endpoints(s.tree, lists.provider());
        ASSERT_FALSE(report);
        EXPECT_EQ(report.error(), c.message);
        EXPECT_EQ(lists.requested, c.requested);
    }
}

}  // namespace
}  // namespace tamsel::setup
