#pragma once
// The result of cable detection: one status per cable driver identity, the endpoint pairs and
// the device list used for the matching.

#include <string>
#include <variant>
#include <vector>

#include "tamsel/audio/device.hpp"

namespace tamsel::setup {

struct Absent {};
struct EndpointsMissing {};
struct RestartPending {};
struct Problem {
    std::string message;
};
struct Ready {};

using CableStatus = std::variant<Absent, EndpointsMissing, RestartPending, Problem, Ready>;

struct CableReport {
    CableStatus vb_cable;
    CableStatus hifi_cable;
    std::string vb_render_id, vb_capture_id;
    std::string hifi_render_id, hifi_capture_id;
    std::vector<tamsel::AudioDevice> devices;  // enabled inputs, then enabled outputs
};

}  // namespace tamsel::setup
