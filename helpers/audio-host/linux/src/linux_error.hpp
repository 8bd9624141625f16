#pragma once
// Error texts of the Linux platform layer, in the host's context form:
//   "{context}: {errno message} (os error {errno})"

#include <string>
#include <string_view>

#include "error_text.hpp"
#include "tamsel/audio/platform.hpp"

namespace tamsel::host::linux_host {

inline std::string errno_error(std::string_view context, int error_number) {
    return join_context(context, os_error_text(error_number));
}

}  // namespace tamsel::host::linux_host
