#pragma once
// Pure parsing of the /proc texts the Linux process layer reads, kept apart from the system
// calls so the tricky parts (a command name holding spaces and parentheses, the clock
// arithmetic) are tested on fixed texts.

#include <cstdint>
#include <optional>
#include <string_view>

#include "tamsel/audio/result.hpp"

namespace tamsel::host::linux_host {

// Seconds between 1601-01-01 and 1970-01-01, both UTC.
inline constexpr std::uint64_t FILETIME_UNIX_EPOCH_SECONDS = 11644473600ULL;
inline constexpr std::uint64_t FILETIME_UNITS_PER_SECOND = 10000000ULL;  // 100 ns units

// The fields of /proc/<pid>/stat the host uses.
struct ProcStat {
    char state = '?';               // field 3
    std::uint32_t parent_pid = 0;   // field 4
    std::uint64_t start_ticks = 0;  // field 22: clock ticks after boot
};

// Parses a /proc/<pid>/stat line. The command name (field 2) is written in parentheses and may
// itself hold spaces and parentheses, so the fields are counted from the LAST ')' on.
// Fails with "malformed process status".
Result<ProcStat> parse_proc_stat(std::string_view line);

// The "btime" value (seconds since 1970 at boot) of a /proc/stat text. Fails with
// "boot time missing".
Result<std::uint64_t> parse_boot_time(std::string_view proc_stat_text);

// Creation time in FILETIME units (100 ns since 1601-01-01 UTC) of a process that started
// `start_ticks` clock ticks after a boot at `boot_time` (seconds since 1970). `ticks_per_second`
// is sysconf(_SC_CLK_TCK), never 0. Depends only on its inputs, so the same process always gets
// the same value.
std::uint64_t filetime_from_start(std::uint64_t boot_time, std::uint64_t start_ticks,
                                  std::uint64_t ticks_per_second) noexcept;

// The target path readlink gave for /proc/<pid>/exe without the kernel's " (deleted)" mark, or
// nothing when the text does not end with the mark.
std::optional<std::string_view> strip_deleted_mark(std::string_view link_text) noexcept;

// An unsigned decimal pid (1..4294967295), digits only; nothing otherwise.
std::optional<std::uint32_t> parse_pid_text(std::string_view text) noexcept;

}  // namespace tamsel::host::linux_host
