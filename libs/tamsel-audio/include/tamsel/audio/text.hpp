#pragma once
// Text conversion shared by both programs. Text from Windows (UTF-16) and from audio libraries
// (bytes) becomes UTF-8 leniently: every unpaired surrogate and every invalid byte sequence is
// replaced by U+FFFD, and the conversion never fails.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamsel {

// UTF-16 (native byte order) to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);
// Bytes that should be UTF-8 to valid UTF-8; each maximal invalid subpart becomes U+FFFD.
std::string utf8_lossy(std::string_view bytes);
// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

#if defined(_WIN32)
static_assert(sizeof(wchar_t) == sizeof(char16_t));
std::string wide_to_utf8(std::wstring_view text);
std::wstring utf8_to_wide(std::string_view text);
#endif

// Splits a buffer of UTF-16 units at every NUL, over its whole length (not only up to a double
// NUL), and converts each non-empty piece to UTF-8.
std::vector<std::string> split_utf16_multi_string(std::u16string_view buffer);

// True when both texts have the same length and match byte for byte after folding A-Z to a-z.
// No other byte is folded.
bool ascii_iequal(std::string_view a, std::string_view b) noexcept;

// Cuts trailing space, tab, CR, LF, VT and FF.
std::string_view trim_trailing_space(std::string_view text) noexcept;

}  // namespace tamsel
