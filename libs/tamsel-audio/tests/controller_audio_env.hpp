#pragma once
// A private sound environment for tests on real cubeb: a fresh runtime and home folder, no
// reachable PulseAudio or PipeWire of the machine, no autospawn, and on request an own
// PulseAudio daemon from the tests' one starter (tests/support/private-pulseaudio) with two null
// sinks ("cable" at 48000 Hz, the default, and "other" at 44100 Hz). The daemon is stopped and the folder removed on teardown, also after failures;
// if the test process dies, the daemon gets SIGKILL from the kernel.

#include <string>
#include <sys/types.h>

namespace tamsel::testing {

class AudioEnvironment {
public:
    AudioEnvironment();
    ~AudioEnvironment();
    AudioEnvironment(const AudioEnvironment&) = delete;
    AudioEnvironment& operator=(const AudioEnvironment&) = delete;

    // Starts the daemon and waits until both sinks are listed; false with a reason otherwise.
    bool start_daemon(std::string& why);
    void stop_daemon();

    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
    pid_t daemon_ = -1;
};

}  // namespace tamsel::testing
