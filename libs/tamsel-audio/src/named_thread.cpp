// The platform-independent half of NamedThread and of the error texts; starting, joining,
// detaching and the system's messages live in the platform files.
#include "tamsel/audio/platform.hpp"

namespace tamsel {

NamedThread& NamedThread::operator=(NamedThread&& other) noexcept {
    if (this != &other) {
        if (joinable()) join();
        state_ = std::move(other.state_);
    }
    return *this;
}

NamedThread::~NamedThread() {
    if (joinable()) join();
}

std::string os_error_text(std::int32_t code) {
    return system_message(code) + " (os error " + std::to_string(code) + ")";
}

}  // namespace tamsel
