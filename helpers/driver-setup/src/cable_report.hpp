#pragma once
// The result of cable detection: one status per cable driver identity, the endpoint pairs and
// the device list used for the matching.

#include <string>
#include <variant>
#include <vector>

#include "tamsel/audio/device.hpp"

namespace tamsel::setup {

struct Absent {};
// The one device carries the identity but has no driver installed (device_node.hpp,
// driver_missing): what a run that ended between registering the device and installing its
// driver leaves. Not a working device: the installation goes on onto it.
struct DriverMissing {};
struct EndpointsMissing {};
struct RestartPending {};
struct Problem {
    std::string message;
};
struct Ready {};

using CableStatus = std::variant<Absent, DriverMissing, EndpointsMissing, RestartPending, Problem, Ready>;

struct CableReport {
    CableStatus vb_cable;
    CableStatus hifi_cable;
    std::string vb_render_id, vb_capture_id;
    std::string hifi_render_id, hifi_capture_id;
    std::vector<tamsel::AudioDevice> devices;  // enabled inputs, then enabled outputs
};

}  // namespace tamsel::setup
