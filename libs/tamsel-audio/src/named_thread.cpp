// The platform-independent half of NamedThread; starting, joining and detaching live in the
// platform files.
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

}  // namespace tamsel
