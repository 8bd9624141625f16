#include "error_text.hpp"

#include <cstddef>

#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::host {

std::uint32_t hresult_from_win32(std::uint32_t error) noexcept {
    if (static_cast<std::int32_t>(error) <= 0) return error;
    return 0x80070000u | (error & 0xFFFFu);
}

std::string hresult_code_text(std::uint32_t hr) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text.push_back(DIGITS[(hr >> static_cast<unsigned>(shift)) & 0xFu]);
    }
    return text;
}

std::string compose_system_error_text(std::string_view message, std::uint32_t hr) {
    const std::string_view trimmed = trim_trailing_space(message);
    if (trimmed.empty()) return hresult_code_text(hr);
    std::string text(trimmed);
    text += " (";
    text += hresult_code_text(hr);
    text += ")";
    return text;
}

std::string join_context(std::string_view context, std::string_view system_text) {
    std::string text(context);
    text += ": ";
    text += system_text;
    return text;
}

std::string os_error_context_text(std::string_view context, std::int32_t code) {
    return join_context(context, os_error_text(code));
}

}  // namespace tamsel::host
