#include "cable_detection.hpp"

#include <utility>

#include "tamsel/audio/text.hpp"

namespace tamsel::setup {

namespace {

bool is_cable_identity(std::string_view id) {
    return ascii_iequal(id, VB_CABLE_IDENTITY) || ascii_iequal(id, HIFI_CABLE_IDENTITY);
}

bool restart_pending(const std::optional<NodeStatus>& status) {
    return status && (status->problem == NODE_PROBLEM_NEED_RESTART || (status->flags & NODE_FLAG_NEED_RESTART) != 0);
}

// The device instance list, read again when it changes between the size query and the read.
Result<std::u16string> read_device_id_list(DeviceTree& tree) {
    for (int attempt = 0; attempt < DEVICE_LIST_ATTEMPTS; ++attempt) {
        const auto size = tree.device_id_list_size();
        if (!size) return fail("Cannot enumerate Windows audio driver identities");
        if (auto list = tree.device_id_list(*size)) {
            // Split over the whole length of the size query, whatever the call filled.
            list->resize(*size, u'\0');
            return std::move(*list);
        }
    }
    return fail("Audio devices changed during detection; refresh again");
}

}  // namespace

Result<std::vector<DriverDevice>> scan_driver_devices(DeviceTree& tree) {
    const auto list = read_device_id_list(tree);
    if (!list) return list.error_result();

    std::vector<DriverDevice> drivers;
    for (const std::string& instance_id : split_utf16_multi_string(*list)) {
        const auto node = tree.locate(utf8_to_utf16(instance_id));
        if (!node) continue;
        auto buffer = tree.hardware_ids(*node);
        if (!buffer) continue;
        buffer->resize(HARDWARE_ID_BUFFER_UNITS, u'\0');
        for (std::string& hardware_id : split_utf16_multi_string(*buffer)) {
            if (!is_cable_identity(hardware_id)) continue;
            const std::optional<NodeStatus> status = tree.status(*node);
            const bool started = status && started_and_healthy(*status);
            const bool missing = !started && driver_missing(tree.driver_key(*node), status);
            drivers.push_back(DriverDevice{std::move(hardware_id), *node, started, missing});
        }
    }
    return drivers;
}

bool endpoint_under_devnode(DeviceTree& tree, std::string_view endpoint_id, DevNode driver) {
    std::string instance_id = "SWD\\MMDEVAPI\\";
    instance_id.append(endpoint_id);
    auto node = tree.locate(utf8_to_utf16(instance_id));
    if (!node) return false;
    // The endpoint's own node is never compared, only its parents.
    for (int level = 0; level < MAX_ENDPOINT_ANCESTORS; ++level) {
        node = tree.parent(*node);
        if (!node) return false;
        if (*node == driver) return true;
    }
    return false;
}

bool passes_form_factor_rule(DeviceTree& tree, std::string_view identity, const AudioDevice& device) {
    if (identity != VB_CABLE_IDENTITY || device.direction != DeviceDirection::Output) return true;
    const auto form_factor = tree.endpoint_form_factor(device.id);
    return form_factor && *form_factor == FORM_FACTOR_SPEAKERS;
}

CableOutcome cable_outcome(DeviceTree& tree, std::string_view identity, const std::vector<DriverDevice>& drivers,
                           const std::vector<AudioDevice>& devices) {
    const DriverDevice* driver = nullptr;
    std::size_t candidates = 0;
    for (const DriverDevice& d : drivers) {
        if (!ascii_iequal(d.identity, identity)) continue;
        ++candidates;
        driver = &d;
    }
    if (candidates == 0) return {Absent{}, {}, {}};
    if (candidates > 1) return {Problem{"Duplicate driver devices; check Device Manager"}, {}, {}};

    // The status is read again: a restart may have become pending since the scan.
    if (restart_pending(tree.status(driver->devnode))) return {RestartPending{}, {}, {}};
    if (driver->driver_missing) return {DriverMissing{}, {}, {}};
    if (!driver->started) return {Problem{"Driver is not started; check Device Manager and restart Windows"}, {}, {}};

    std::vector<const AudioDevice*> render;
    std::vector<const AudioDevice*> capture;
    for (const AudioDevice& device : devices) {
        if (!endpoint_under_devnode(tree, device.id, driver->devnode)) continue;
        if (!passes_form_factor_rule(tree, identity, device)) continue;
        if (device.channels != 2) continue;
        (device.direction == DeviceDirection::Output ? render : capture).push_back(&device);
    }
    // An empty side wins over an ambiguous one.
    if (render.empty() || capture.empty()) return {EndpointsMissing{}, {}, {}};
    if (render.size() > 1 || capture.size() > 1) {
        return {Problem{"Ambiguous cable endpoints; check Device Manager"}, {}, {}};
    }

    const AudioDevice& r = *render.front();
    const AudioDevice& c = *capture.front();
    if (identity == HIFI_CABLE_IDENTITY && (r.default_rate == 0 || r.default_rate != c.default_rate)) {
        return {Problem{"Hi-Fi Cable sample rates differ (" + std::to_string(r.default_rate) + " / " +
                        std::to_string(c.default_rate) + " Hz); set both ends to stereo 48 kHz in mmsys.cpl"},
                r.id, c.id};
    }
    return {Ready{}, r.id, c.id};
}

Result<CableReport> detect_cable_endpoints(DeviceTree& tree, const DeviceListProvider& list_devices) {
    const auto drivers = scan_driver_devices(tree);
    if (!drivers) return drivers.error_result();

    auto inputs = list_devices(DeviceDirection::Input);
    if (!inputs) return inputs.error_result();
    auto outputs = list_devices(DeviceDirection::Output);
    if (!outputs) return outputs.error_result();

    CableReport report;
    report.devices = std::move(*inputs);
    report.devices.insert(report.devices.end(), std::make_move_iterator(outputs->begin()),
                          std::make_move_iterator(outputs->end()));

    CableOutcome vb = cable_outcome(tree, VB_CABLE_IDENTITY, *drivers, report.devices);
    CableOutcome hifi = cable_outcome(tree, HIFI_CABLE_IDENTITY, *drivers, report.devices);
    report.vb_cable = std::move(vb.status);
    report.vb_render_id = std::move(vb.render_id);
    report.vb_capture_id = std::move(vb.capture_id);
    report.hifi_cable = std::move(hifi.status);
    report.hifi_render_id = std::move(hifi.render_id);
    report.hifi_capture_id = std::move(hifi.capture_id);
    return report;
}

}  // namespace tamsel::setup
