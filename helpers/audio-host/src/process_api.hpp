#pragma once
// The operating system's view of processes, as the host's rules need it. The rules (list,
// tree, identity) are portable code over this interface; Windows and Linux implement it.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tamsel/audio/result.hpp"

namespace tamsel::host {

// An open handle on one process; closing it is the destructor's job. It refers to the very
// process that was opened, so a reused pid can never be mistaken for it.
class ProcessHandle {
public:
    virtual ~ProcessHandle() = default;
    // Tests without waiting whether the process still runs. Any failure of the test counts as
    // "not running" for the callers.
    virtual bool is_running() const = 0;
};

// Image path, creation time and an open handle: the pair (exe, start) identifies a process.
struct ProcessIdentity {
    std::string exe;                        // UTF-8, full image path
    std::unique_ptr<ProcessHandle> handle;  // never null in a returned identity
    std::uint64_t start = 0;                // creation time, FILETIME units (100 ns since 1601)
};

// pid -> parent pid, from one snapshot; a later duplicate entry replaces the earlier one.
using ProcessTable = std::map<std::uint32_t, std::uint32_t>;

class ProcessApi {
public:
    virtual ~ProcessApi() = default;
    // Errors are complete texts ("open process: ...", "process executable: ...", ...).
    virtual Result<ProcessIdentity> query_process_identity(std::uint32_t pid) = 0;
    virtual Result<ProcessTable> take_process_table() = 0;
    virtual std::uint32_t current_process_id() = 0;
    // Owner pid of every visible top-level window, in enumeration order (0 and repeats
    // included: the caller filters). Fails with "enumerate application windows: ...".
    virtual Result<std::vector<std::uint32_t>> visible_window_owners() = 0;
    // "{context}: {system text}" for an operating-system error code as write_stdout gives it,
    // in the platform's form. The default is the Linux one, "{message} (os error {code})";
    // Windows gives "{message} (0x8007HHHH)".
    virtual std::string os_error_context(std::string_view context, std::int32_t code);
};

}  // namespace tamsel::host
