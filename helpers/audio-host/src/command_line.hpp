#pragma once
// The capture host's command line: "--list", "--version", or a capture request.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "tamsel/audio/result.hpp"

namespace tamsel::host {

struct SystemTarget {};

struct ProcessTarget {
    std::uint32_t pid = 0;          // never 0
    std::string expected_exe;       // never empty: the "exe" the list reported
    std::uint64_t expected_start = 0;  // never 0: the "start_time" the list reported
};

using CaptureTarget = std::variant<SystemTarget, ProcessTarget>;

struct CaptureRequest {
    CaptureTarget target;
    std::uint32_t excluded_pid = 0;  // the translator; must be the host's parent
};

struct ListProcesses {};

// "--version" alone: the program's version on standard output.
struct ShowVersion {};

using HostCommand = std::variant<ListProcesses, CaptureRequest, ShowVersion>;

// Pure: no output, no system calls. `arguments` excludes the program name.
Result<HostCommand> parse_arguments(const std::vector<std::string>& arguments);

}  // namespace tamsel::host
