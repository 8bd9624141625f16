#include "command_line.hpp"

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>

#include "decimal.hpp"

namespace tamsel::host {
namespace {

// An optional single '+', then one or more ASCII digits; the value must fit `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    return parse_decimal_digits(text, max);
}

std::optional<std::uint32_t> parse_positive_u32(std::string_view text) {
    const auto value = parse_decimal(text, std::numeric_limits<std::uint32_t>::max());
    if (!value || *value == 0) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint64_t> parse_positive_u64(std::string_view text) {
    const auto value = parse_decimal(text, std::numeric_limits<std::uint64_t>::max());
    if (!value || *value == 0) return std::nullopt;
    return value;
}

enum Flag : std::size_t { TARGET, EXCLUDE_PIDS, EXPECTED_EXE, EXPECTED_START, FLAG_COUNT };

constexpr std::array<std::string_view, FLAG_COUNT> FLAG_NAMES = {
    "--target", "--exclude-pids", "--expected-exe", "--expected-start"};

}  // namespace

Result<HostCommand> parse_arguments(const std::vector<std::string>& arguments) {
    if (arguments.size() == 1 && arguments[0] == "--list") return HostCommand{ListProcesses{}};
    // Like "--list", only alone: with anything else it is an argument like any other.
    if (arguments.size() == 1 && arguments[0] == "--version") return HostCommand{ShowVersion{}};
    if (arguments.size() % 2 != 0) return fail("arguments must be flag/value pairs");

    std::array<std::optional<std::string_view>, FLAG_COUNT> values{};
    for (std::size_t i = 0; i < arguments.size(); i += 2) {
        const std::string_view flag = arguments[i];
        std::size_t index = FLAG_COUNT;
        for (std::size_t f = 0; f < FLAG_COUNT; ++f) {
            if (flag == FLAG_NAMES[f]) index = f;
        }
        if (index == FLAG_COUNT || values[index]) return fail("unknown or duplicate argument");
        values[index] = arguments[i + 1];
    }

    if (!values[EXCLUDE_PIDS]) return fail("one excluded parent PID is required");
    const auto excluded = parse_positive_u32(*values[EXCLUDE_PIDS]);
    if (!excluded) return fail("exactly one positive excluded PID is required");

    if (!values[TARGET]) return fail("target is required");
    const std::string_view target = *values[TARGET];
    if (target == "system") {
        if (values[EXPECTED_EXE] || values[EXPECTED_START]) {
            return fail("process identity is not valid for system capture");
        }
        return HostCommand{CaptureRequest{SystemTarget{}, *excluded}};
    }

    constexpr std::string_view PID_PREFIX = "pid:";
    if (target.substr(0, PID_PREFIX.size()) != PID_PREFIX) return fail("target must be system or pid:N");
    const auto pid = parse_positive_u32(target.substr(PID_PREFIX.size()));
    if (!pid) return fail("target must be system or pid:N");

    if (!values[EXPECTED_EXE] || values[EXPECTED_EXE]->empty()) return fail("expected executable is required");
    if (!values[EXPECTED_START]) return fail("expected process creation time is required");
    const auto start = parse_positive_u64(*values[EXPECTED_START]);
    if (!start) return fail("expected process creation time is required");

    ProcessTarget process;
    process.pid = *pid;
    process.expected_exe = std::string(*values[EXPECTED_EXE]);
    process.expected_start = *start;
    return HostCommand{CaptureRequest{std::move(process), *excluded}};
}

}  // namespace tamsel::host
