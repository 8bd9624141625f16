#include "proc_parse.hpp"

#include <cstddef>
#include <limits>

#include "decimal.hpp"

namespace tamsel::host::linux_host {
namespace {

std::optional<std::uint64_t> parse_u64(std::string_view text) noexcept {
    return parse_decimal_digits(text, std::numeric_limits<std::uint64_t>::max());
}

// Splits off the next field separated by single or repeated spaces.
std::string_view next_field(std::string_view& rest) noexcept {
    std::size_t begin = 0;
    while (begin < rest.size() && (rest[begin] == ' ' || rest[begin] == '\n')) ++begin;
    std::size_t end = begin;
    while (end < rest.size() && rest[end] != ' ' && rest[end] != '\n') ++end;
    const std::string_view field = rest.substr(begin, end - begin);
    rest.remove_prefix(end);
    return field;
}

}  // namespace

Result<ProcStat> parse_proc_stat(std::string_view line) {
    const std::size_t open = line.find('(');
    const std::size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return fail("malformed process status");
    }
    std::string_view rest = line.substr(close + 1);
    // Fields 3 (state) to 22 (start time): twenty fields after the command name.
    std::string_view fields[20];
    for (std::string_view& field : fields) {
        field = next_field(rest);
        if (field.empty()) return fail("malformed process status");
    }
    if (fields[0].size() != 1) return fail("malformed process status");
    const std::optional<std::uint64_t> parent = parse_u64(fields[1]);
    const std::optional<std::uint64_t> start = parse_u64(fields[19]);
    if (!parent || *parent > std::numeric_limits<std::uint32_t>::max() || !start) {
        return fail("malformed process status");
    }
    ProcStat stat;
    stat.state = fields[0][0];
    stat.parent_pid = static_cast<std::uint32_t>(*parent);
    stat.start_ticks = *start;
    return stat;
}

Result<std::uint64_t> parse_boot_time(std::string_view text) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.substr(0, 6) != "btime ") continue;
        line.remove_prefix(6);
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
        if (const std::optional<std::uint64_t> value = parse_u64(line)) return *value;
        break;
    }
    return fail("boot time missing");
}

std::uint64_t filetime_from_start(std::uint64_t boot_time, std::uint64_t start_ticks,
                                  std::uint64_t ticks_per_second) noexcept {
    const std::uint64_t whole_seconds = start_ticks / ticks_per_second;
    const std::uint64_t rest_ticks = start_ticks % ticks_per_second;
    return (boot_time + FILETIME_UNIX_EPOCH_SECONDS + whole_seconds) * FILETIME_UNITS_PER_SECOND +
           rest_ticks * FILETIME_UNITS_PER_SECOND / ticks_per_second;
}

std::optional<std::string_view> strip_deleted_mark(std::string_view link_text) noexcept {
    constexpr std::string_view MARK = " (deleted)";
    if (link_text.size() < MARK.size() || link_text.substr(link_text.size() - MARK.size()) != MARK) {
        return std::nullopt;
    }
    return link_text.substr(0, link_text.size() - MARK.size());
}

std::optional<std::uint32_t> parse_pid_text(std::string_view text) noexcept {
    const std::optional<std::uint64_t> value = parse_u64(text);
    if (!value || *value == 0 || *value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

}  // namespace tamsel::host::linux_host
