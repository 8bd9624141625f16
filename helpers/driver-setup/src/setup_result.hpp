#pragma once
// The result of the driver setup run and of each of its steps.

#include <cstdint>
#include <string>
#include <string_view>

#include "tamsel/audio/result.hpp"

namespace tamsel::setup {

struct SetupSuccess {
    bool reboot_required = false;  // Windows must restart before the cable is usable
};

using SetupResult = Result<SetupSuccess>;

// "{context}: Windows error {code}", the code as an unsigned 32-bit decimal number.
std::string windows_error(std::string_view context, std::uint32_t code);

}  // namespace tamsel::setup
