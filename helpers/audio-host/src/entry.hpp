#pragma once
// The capture host's entry, the same on every platform: parse the arguments, run the mode,
// and turn a failure into the one error event line and exit code 1.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.hpp"
#include "process_api.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::host {

// `args` excludes the program name. List mode goes to list_processes over `processes`, capture
// mode to `run_capture`; "--version" writes the version line on standard output. Gives 0 on
// success; on any error writes the error event on standard error and gives 1. Writes nothing
// else itself. An exception it lets through is guarded_entry's to report.
int host_main(const std::vector<std::string>& args, ProcessApi& processes,
              const std::function<Status(const CaptureRequest&)>& run_capture);

// The host's text for a failed system call (a context phrase and the system's error code).
using SystemErrorText = std::function<std::string(std::string_view context, std::uint32_t code)>;

// The program's whole entry (`entry` gives the exit code), through tamsel::run_guarded: an
// exception that escapes it ends as the error event "internal error: ..." and exit code 1, like
// any other failure, never as an abnormal end of the process; a failure that ends the program
// from wherever it happens (tamsel::fail_program: a DLL or function this Windows lacks) is the
// error event with the text system_error(context, code) (default: "{context}: {os_error_text}").
int guarded_entry(const std::function<int()>& entry, const SystemErrorText& system_error = {}) noexcept;

}  // namespace tamsel::host
