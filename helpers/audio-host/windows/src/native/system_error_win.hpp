#pragma once
// Error texts of the capture host for Windows and COM failures:
//   context_error("open process", hr) -> "open process: Access is denied. (0x80070005)"
#include <windows.h>

#include <string>
#include <string_view>

namespace tamsel::host::win {

// The system's message for the HRESULT (the thread's COM error-information description first,
// when `com_call` and one is set), a space, and "(0xHHHHHHHH)"; the code alone when there is no
// message.
std::string system_error_text(HRESULT hr, bool com_call = false);

// "{context}: {system_error_text(hr)}"
std::string context_error(std::string_view context, HRESULT hr, bool com_call = false);

// Reads GetLastError() at once and maps it to an HRESULT (0x80070000 | (e & 0xFFFF) for a
// positive value, negative values unchanged, 0 as 0x00000000) for context_error.
std::string context_error_from_last_error(std::string_view context);

}  // namespace tamsel::host::win
