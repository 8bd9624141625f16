// tamsel_audio_host on Windows: Unicode arguments, the Windows process API, and the
// process-loopback capture run behind the portable entry.
#include <windows.h>

#include <string>
#include <vector>

#include "capture_run_win.hpp"
#include "entry.hpp"
#include "process_api_win.hpp"
#include "tamsel/audio/text.hpp"

int wmain(int argc, wchar_t** argv) {
    // Arguments arrive as UTF-16; an unpaired surrogate becomes U+FFFD and the rules apply to
    // the converted text.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(tamsel::wide_to_utf8(argv[i]));

    tamsel::host::win::WindowsProcessApi processes;
    return tamsel::host::host_main(args, processes, [&processes](const tamsel::host::CaptureRequest& request) {
        return tamsel::host::win::run_capture_windows(request, processes);
    });
}
