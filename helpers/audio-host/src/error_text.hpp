#pragma once
// Error texts of the capture host that do not depend on the platform:
//   "{context}: {system text}"   with the system text "{message} (0xHHHHHHHH)" or "0xHHHHHHHH".
// The Windows side (windows/src/native/system_error_win.cpp) looks up the message and calls
// these to assemble the text, so the forms are tested everywhere.

#include <cstdint>
#include <string>
#include <string_view>

namespace tamsel::host {

// The HRESULT for a Win32 last-error value: 0x80070000 | (e & 0xFFFF) when e, read as a
// signed 32-bit number, is positive; negative values (already HRESULTs) and 0 unchanged.
std::uint32_t hresult_from_win32(std::uint32_t error) noexcept;

// "0x" and exactly eight upper-case hexadecimal digits.
std::string hresult_code_text(std::uint32_t hr);

// The message with trailing white space cut, a space and the code in parentheses; the code
// alone when the message is empty (or only white space).
std::string compose_system_error_text(std::string_view message, std::uint32_t hr);

// "{context}: {system_text}"
std::string join_context(std::string_view context, std::string_view system_text);

// "{context}: {message} (os error {code})": an operating-system error code (errno on Linux)
// in the context form.
std::string os_error_context_text(std::string_view context, std::int32_t code);

}  // namespace tamsel::host
