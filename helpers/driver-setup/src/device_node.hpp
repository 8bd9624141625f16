#pragma once
// One device node as the configuration manager reports it, the cable drivers' hardware
// identifiers, and the rules for "started and healthy" and "no driver installed" that both
// cable detection and the installer's health check apply.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tamsel::setup {

// Hardware identifiers of the two cable drivers, compared ignoring ASCII case. The VB-CABLE one
// is also the identifier the installer gives a new device.
inline constexpr std::string_view VB_CABLE_IDENTITY = "VBAudioVACWDM";
inline constexpr std::string_view HIFI_CABLE_IDENTITY = "VBAudioHFVAIO";

struct NodeStatus {
    std::uint32_t flags = 0;    // DN_* status flags
    std::uint32_t problem = 0;  // CM_PROB_* problem number, 0 for none
};

inline constexpr std::uint32_t NODE_FLAG_STARTED = 0x00000008;       // DN_STARTED
inline constexpr std::uint32_t NODE_FLAG_NEED_RESTART = 0x00000100;  // DN_NEED_RESTART
inline constexpr std::uint32_t NODE_PROBLEM_NEED_RESTART = 14;       // CM_PROB_NEED_RESTART
inline constexpr std::uint32_t NODE_PROBLEM_NOT_CONFIGURED = 1;      // CM_PROB_NOT_CONFIGURED
inline constexpr std::uint32_t NODE_PROBLEM_REINSTALL = 18;          // CM_PROB_REINSTALL
inline constexpr std::uint32_t NODE_PROBLEM_FAILED_INSTALL = 28;     // CM_PROB_FAILED_INSTALL

// The device's driver key (the "Driver" registry value that names its software key, which
// Windows writes when it installs a driver onto the device).
enum class DriverKey {
    Present,
    Absent,      // the property does not exist: no driver was ever installed
    Unreadable,  // the query failed otherwise: nothing is known either way
};

// The driver is started and the node has no problem.
constexpr bool started_and_healthy(const NodeStatus& status) noexcept {
    return status.problem == 0 && (status.flags & NODE_FLAG_STARTED) != 0;
}

// No driver is installed on the device: it has no driver key, or the configuration manager
// says it was never configured or its installation failed. Such a device is what a run that
// ended between registering the device and installing its driver leaves behind; installing the
// driver onto it replaces nothing. A device whose driver must be installed again (problem 18)
// has one, and keeps it: that is for its owner to decide, not for this program.
constexpr bool driver_missing(DriverKey key, const std::optional<NodeStatus>& status) noexcept {
    if (key == DriverKey::Absent) return true;
    if (!status) return false;
    return status->problem == NODE_PROBLEM_NOT_CONFIGURED || status->problem == NODE_PROBLEM_FAILED_INSTALL;
}

}  // namespace tamsel::setup
