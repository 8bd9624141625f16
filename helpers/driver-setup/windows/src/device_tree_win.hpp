#pragma once
// The Windows device tree behind the detection's DeviceTree interface: cfgmgr32 for the device
// nodes, the MMDevice property store for an endpoint's form factor.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "device_tree.hpp"

namespace tamsel::setup {

std::unique_ptr<DeviceTree> make_windows_device_tree();

// PKEY_AudioEndpoint_FormFactor of one endpoint, in a multithreaded apartment entered and left
// on the calling thread; nothing when any call fails or gives a null object.
std::optional<std::uint32_t> read_endpoint_form_factor(std::string_view endpoint_id);

}  // namespace tamsel::setup
