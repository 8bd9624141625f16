#pragma once
// Health check of an existing VB-CABLE device and installation of the signed driver when there
// is none. An existing device is never replaced, healthy or not.

#include <filesystem>
#include <string_view>

#include "device_installer.hpp"
#include "device_node.hpp"
#include "setup_result.hpp"

namespace tamsel::setup {

inline constexpr std::string_view INSTALL_INF = "vbMmeCable64_win10.inf";
inline constexpr std::string_view UNHEALTHY_CABLE_MESSAGE =
    "Existing VB-CABLE device is not healthy; check Device Manager or restart Windows. No driver was replaced.";

// How long a run waits for another run's installation to end, and what it says when it gives up.
inline constexpr std::uint32_t INSTALL_LOCK_TIMEOUT_MS = 120000;
inline constexpr std::string_view INSTALL_LOCK_TIMEOUT_MESSAGE =
    "Another VB-CABLE installation is still running; try again when it has finished.";

// True when one NUL-separated piece of the whole buffer is the cable's hardware identifier
// VB_CABLE_IDENTITY (13 bytes in UTF-8, ASCII letters in any case).
bool hardware_ids_name_cable(const HardwareIdBuffer& buffer);

// Looks for a present device of the INF's class that names the cable's hardware identifier;
// the first one found decides by its health, and only when there is none a new root device is
// created, registered and given the driver from `driver_folder`/INSTALL_INF. The search and the
// installation run under the installation lock, so of two runs at once only one installs and
// the other finds its device.
SetupResult ensure_cable_device(const std::filesystem::path& driver_folder, DeviceInstaller& installer);

}  // namespace tamsel::setup
