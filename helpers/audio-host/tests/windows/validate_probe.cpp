// A stand-in for the capture host whose capture mode stops after validate_target, so the
// parent, tree and identity rules can be checked against real processes. Extra modes build
// the process trees the checks need:
//   --relay ARGS...   start this program with ARGS as a child and pass on its output and code
//   --orphan          start "--sleep" as a child, leave it running, print its pid and end
//   --sleep           sleep for two minutes
// Anything else is the host's own command line; a successful validation prints
// "validated translator=<exe> target=<exe or ->" on standard output.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "child_process_win.hpp"
#include "entry.hpp"
#include "process_api_win.hpp"
#include "process_model.hpp"
#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/text.hpp"

namespace {

std::wstring own_path() { return tamsel::test_support::own_folder() + L"tamsel_validate_probe.exe"; }

int relay(const std::vector<std::wstring>& args) {
    tamsel::test_support::Child child = tamsel::test_support::Child::start(own_path(), args);
    if (!child.started()) return 90;
    const auto output = child.finish();
    tamsel::write_stdout_bytes(output.out.data(), output.out.size());
    tamsel::write_stderr_line(output.err);
    return static_cast<int>(output.exit_code);
}

int orphan() {
    tamsel::test_support::Child child = tamsel::test_support::Child::start(own_path(), {L"--sleep"});
    if (!child.started()) return 91;
    const std::string pid = std::to_string(child.pid());
    child.detach();
    tamsel::write_stdout_bytes(pid.data(), pid.size());
    return 0;
}

}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return 2;
    std::vector<std::wstring> wide(argv + 1, argv + argc);
    LocalFree(argv);
    if (!wide.empty() && wide[0] == L"--relay") return relay(std::vector<std::wstring>(wide.begin() + 1, wide.end()));
    if (!wide.empty() && wide[0] == L"--orphan") return orphan();
    if (!wide.empty() && wide[0] == L"--sleep") {
        Sleep(120000);
        return 0;
    }

    std::vector<std::string> args;
    for (const std::wstring& arg : wide) args.push_back(tamsel::wide_to_utf8(arg));
    tamsel::host::win::WindowsProcessApi processes;
    return tamsel::host::host_main(args, processes, [&processes](const tamsel::host::CaptureRequest& request) {
        tamsel::Result<tamsel::host::ValidatedTarget> validated = tamsel::host::validate_target(request, processes);
        if (!validated) return tamsel::Status(validated.error_result());
        const std::string line = "validated translator=" + validated->translator.exe +
                                 " target=" + (validated->target ? validated->target->exe : std::string("-"));
        tamsel::write_stdout_bytes(line.data(), line.size());
        return tamsel::ok();
    });
}
