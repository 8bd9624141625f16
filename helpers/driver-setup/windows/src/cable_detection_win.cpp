// The live detection: the configuration manager's device tree and the process-wide audio
// controller's device lists.

#include "cable_detection.hpp"
#include "device_tree_win.hpp"
#include "tamsel/audio/controller.hpp"

namespace tamsel::setup {

Result<CableReport> detect_cable_endpoints() {
    const auto tree = make_windows_device_tree();
    // The controller is obtained for each request: the first call starts it.
    const DeviceListProvider list_devices = [](DeviceDirection direction) -> Result<std::vector<AudioDevice>> {
        const auto controller = shared_controller();
        if (!controller) return controller.error_result();
        return (*controller)->enumerate_devices(direction);
    };
    return detect_cable_endpoints(*tree, list_devices);
}

}  // namespace tamsel::setup
