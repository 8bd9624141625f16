#pragma once
// One device node as the configuration manager reports it, the cable drivers' hardware
// identifiers, and the one rule for "started and healthy" that both cable detection and the
// installer's health check apply.

#include <cstdint>
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

// The driver is started and the node has no problem.
constexpr bool started_and_healthy(const NodeStatus& status) noexcept {
    return status.problem == 0 && (status.flags & NODE_FLAG_STARTED) != 0;
}

}  // namespace tamsel::setup
