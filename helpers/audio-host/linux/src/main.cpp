// tamsel_audio_host on Linux: the same command line, process list, events and PCM stream as on
// Windows, over /proc, X11 and PulseAudio.

#include <string>
#include <vector>

#include "capture_run_linux.hpp"
#include "entry.hpp"
#include "process_api_linux.hpp"

int main(int argc, char** argv) {
    tamsel::host::linux_host::ignore_broken_pipe_signal();
    return tamsel::host::guarded_entry([argc, argv] {
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
        tamsel::host::linux_host::LinuxProcessApi processes;
        return tamsel::host::host_main(args, processes, [&processes](const tamsel::host::CaptureRequest& request) {
            return tamsel::host::linux_host::run_capture_linux(request, processes);
        });
    });
}
