#pragma once
// Cable endpoint detection: which VB-Audio cable driver devices are present in the device tree,
// which audio endpoints hang below each, and the status of each cable.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cable_report.hpp"
#include "device_tree.hpp"
#include "tamsel/audio/device.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::setup {

// Parents walked from an endpoint's node looking for the driver's node.
inline constexpr int MAX_ENDPOINT_ANCESTORS = 8;
// Attempts at reading the device instance list when it changes between size and read.
inline constexpr int DEVICE_LIST_ATTEMPTS = 3;

// One hardware-identifier entry of a present device that names a cable driver.
struct DriverDevice {
    std::string identity;  // as stored on the device (letter case kept)
    DevNode devnode = 0;
    bool started = false;  // status read during the scan: no problem and DN_STARTED
    // From the same status and the driver key: no driver installed (driver_missing).
    bool driver_missing = false;
};

struct CableOutcome {
    CableStatus status;
    // Render and capture endpoint identifiers, for Ready and the Hi-Fi rate problem only.
    std::string render_id;
    std::string capture_id;
};

// Enabled audio devices of one direction, as the audio controller lists them.
using DeviceListProvider = std::function<Result<std::vector<AudioDevice>>(DeviceDirection)>;

// Every cable driver entry of every present device, in device list order.
Result<std::vector<DriverDevice>> scan_driver_devices(DeviceTree& tree);

// True when `driver` is among the first MAX_ENDPOINT_ANCESTORS parents of the node of
// "SWD\MMDEVAPI\{endpoint_id}".
bool endpoint_under_devnode(DeviceTree& tree, std::string_view endpoint_id, DevNode driver);

// VB-CABLE render endpoints must report the Speakers form factor; everything else passes.
bool passes_form_factor_rule(DeviceTree& tree, std::string_view identity, const AudioDevice& device);

// The status (and endpoint pair) of one cable identity.
CableOutcome cable_outcome(DeviceTree& tree, std::string_view identity, const std::vector<DriverDevice>& drivers,
                           const std::vector<AudioDevice>& devices);

// The whole detection over a given device tree and device lists (input first, then output).
Result<CableReport> detect_cable_endpoints(DeviceTree& tree, const DeviceListProvider& list_devices);

#if defined(_WIN32)
// The live system: the configuration manager and the process-wide audio controller.
// Defined in windows/src/cable_detection_win.cpp (library tamsel_detection_windows).
Result<CableReport> detect_cable_endpoints();
#endif

}  // namespace tamsel::setup
