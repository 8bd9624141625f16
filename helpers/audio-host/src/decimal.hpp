#pragma once
// The one overflow-checked reader of unsigned decimal numbers, for the command line and for the
// numbers of /proc.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tamsel::host {

// One or more ASCII digits and nothing else (no sign, no white space); leading zeros are fine.
// Nothing when the text is not such a number or its value exceeds `max`.
constexpr std::optional<std::uint64_t> parse_decimal_digits(std::string_view text, std::uint64_t max) noexcept {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (digit > max || value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace tamsel::host
