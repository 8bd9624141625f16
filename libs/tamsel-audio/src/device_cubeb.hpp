#pragma once
// Conversion of cubeb's device descriptions into AudioDevice records.

#include <cubeb/cubeb.h>

#include <vector>

#include "tamsel/audio/device.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel {

// One device description: fails with "device has no stable identifier" (null or empty
// device_id, checked first) or "invalid channel count" (more than 65535 channels).
Result<AudioDevice> device_from_info(const cubeb_device_info& info, DeviceDirection direction);

// The enabled devices of a collection in its order; the first failing device fails the whole
// list. The collection itself is left for the caller to destroy.
Result<std::vector<AudioDevice>> devices_from_collection(const cubeb_device_collection& collection,
                                                         DeviceDirection direction);

}  // namespace tamsel
