#pragma once
// The process API on Linux, read from /proc:
//   - identity: a pidfd (the handle), the image path from /proc/<pid>/exe and the creation time
//     from the boot time and the start time in /proc/<pid>/stat, in FILETIME units. The pidfd is
//     opened first and checked again after the reads, so the reads belong to the process the
//     pidfd refers to, never to a later process that got the same pid.
//   - table: pid -> parent pid of every process in /proc;
//   - windows: the owners of mapped top-level X11 windows (x11_windows.hpp).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process_api.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::host::linux_host {

// A pidfd: is_running polls it without waiting (readable = the process has ended).
class PidfdHandle final : public ProcessHandle {
public:
    explicit PidfdHandle(int fd) noexcept : fd_(fd) {}
    PidfdHandle(const PidfdHandle&) = delete;
    PidfdHandle& operator=(const PidfdHandle&) = delete;
    ~PidfdHandle() override;
    bool is_running() const override;
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

// Opens a pidfd for `pid`. Fails with "open process: ...".
Result<std::unique_ptr<PidfdHandle>> open_pidfd(std::uint32_t pid);

class LinuxProcessApi final : public ProcessApi {
public:
    Result<ProcessIdentity> query_process_identity(std::uint32_t pid) override;
    Result<ProcessTable> take_process_table() override;
    std::uint32_t current_process_id() override;
    Result<std::vector<std::uint32_t>> visible_window_owners() override;

private:
    // The boot time, read once per process so every identity uses the same base.
    Result<std::uint64_t> boot_time();

    std::uint64_t boot_time_ = 0;
    bool have_boot_time_ = false;
};

}  // namespace tamsel::host::linux_host
