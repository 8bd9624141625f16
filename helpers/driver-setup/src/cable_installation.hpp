#pragma once
// Health check of an existing VB-CABLE device and installation of the signed driver when there
// is none, or onto the one device that has no driver installed. An existing driver is never
// replaced, healthy or not.

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

// Looks for a present device of the INF's class that names the cable's hardware identifier.
// The first one found decides: healthy, success; with a driver installed but not healthy,
// UNHEALTHY_CABLE_MESSAGE; without a driver (driver_missing), the driver from
// `staged_folder`/INSTALL_INF is installed onto it, unless another cable device of the class
// is present, which the driver update would reach too (then UNHEALTHY_CABLE_MESSAGE). Only when
// there is none is a new root device created, registered and given the driver. The search and
// the installation run under the installation lock, so of two runs at once only one installs
// and the other finds its device. `staged_folder` is the run's staging folder: SetupAPI reads
// the INF and the driver files from the checked copy only.
SetupResult ensure_cable_device(const std::filesystem::path& staged_folder, DeviceInstaller& installer);

}  // namespace tamsel::setup
