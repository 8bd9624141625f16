// tamsel_audio_host on Windows: Unicode arguments, the Windows process API, and the
// process-loopback capture run behind the portable entry.
#include <windows.h>

#include <string>
#include <vector>

#include "capture_run_win.hpp"
#include "entry.hpp"
#include "events.hpp"
#include "process_api_win.hpp"
#include "system_error_win.hpp"
#include "tamsel/audio/platform.hpp"

namespace {

int run_host() {
    // Arguments come from the UTF-16 command line; an unpaired surrogate becomes U+FFFD and
    // the rules apply to the converted text.
    auto args = tamsel::command_line_arguments();
    if (!args) return tamsel::host::report_failure("command line: " + args.error());
    std::vector<std::string> rest;
    if (!args->empty()) rest.assign(args->begin() + 1, args->end());

    tamsel::host::win::WindowsProcessApi processes;
    return tamsel::host::host_main(rest, processes, [&processes](const tamsel::host::CaptureRequest& request) {
        return tamsel::host::win::run_capture_windows(request, processes);
    });
}

}  // namespace

int main() {
    // First, before anything can load a DLL: DLLs only from System32, never from the program's
    // folder or the working folder.
    if (const std::uint32_t error = tamsel::restrict_dll_search_to_system32(); error != 0) {
        return tamsel::host::report_failure(
            tamsel::host::win::context_error("restrict DLL search", HRESULT_FROM_WIN32(error)));
    }
    // A delay-loaded DLL or function this Windows lacks ends the run as an error event in the
    // host's form of a Windows error.
    return tamsel::host::guarded_entry(run_host, tamsel::host::win::context_error_from_win32);
}
