#include <limits>

#include "device_cubeb.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel {

Result<AudioDevice> device_from_info(const cubeb_device_info& info, DeviceDirection direction) {
    if (info.device_id == nullptr) return fail("device has no stable identifier");
    AudioDevice device;
    device.id = utf8_lossy(info.device_id);
    if (device.id.empty()) return fail("device has no stable identifier");
    if (info.friendly_name != nullptr) device.name = utf8_lossy(info.friendly_name);
    if (info.max_channels > std::numeric_limits<std::uint16_t>::max()) return fail("invalid channel count");
    device.channels = static_cast<std::uint16_t>(info.max_channels);
    device.default_rate = info.default_rate;
    device.direction = direction;
    device.is_default = (static_cast<unsigned>(info.preferred) & CUBEB_DEVICE_PREF_MULTIMEDIA) != 0;
    return device;
}

Result<std::vector<AudioDevice>> devices_from_collection(const cubeb_device_collection& collection,
                                                         DeviceDirection direction) {
    std::vector<AudioDevice> devices;
    if (collection.device == nullptr) return devices;
    for (std::size_t i = 0; i < collection.count; ++i) {
        const cubeb_device_info& info = collection.device[i];
        // Disabled and unplugged devices are left out without a message.
        if (info.state != CUBEB_DEVICE_STATE_ENABLED) continue;
        auto device = device_from_info(info, direction);
        if (!device) return device.error_result();
        devices.push_back(std::move(*device));
    }
    return devices;
}

}  // namespace tamsel
