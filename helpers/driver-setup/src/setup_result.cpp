#include "setup_result.hpp"

namespace tamsel::setup {

std::string windows_error(std::string_view context, std::uint32_t code) {
    return std::string(context) + ": Windows error " + std::to_string(code);
}

}  // namespace tamsel::setup
