#pragma once
// Audio device records as the audio controller lists them (from cubeb's device collection).

#include <cstdint>
#include <string>
#include <vector>

#include "tamsel/audio/result.hpp"

namespace tamsel {

enum class DeviceDirection : std::uint8_t { Input = 0, Output = 1 };

struct AudioDevice {
    std::string id;    // stable endpoint identifier, never empty
    std::string name;  // may be empty
    std::uint32_t default_rate = 0;
    std::uint16_t channels = 0;
    DeviceDirection direction = DeviceDirection::Output;
    bool is_default = false;  // preferred multimedia device
};

}  // namespace tamsel
