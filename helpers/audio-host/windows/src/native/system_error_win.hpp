#pragma once
// Error texts of the capture host for Windows and COM failures:
//   context_error("open process", hr)          -> "open process: Access is denied. (0x80070005)"
//   com_context_error("audio client", hr)      -> the COM error-information description first
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tamsel::host::win {

// The system's message for the HRESULT, a space, and "(0xHHHHHHHH)"; the code alone when there
// is no message. A code with the NT bit (0x10000000) takes its text from ntdll's NT status
// table alone, looked up with that bit cleared.
std::string system_error_text(HRESULT hr);

// For a failed COM call: the description of the thread's COM error-information object when
// one is set (reading it clears it), otherwise system_error_text.
std::string com_system_error_text(HRESULT hr);

// "{context}: {system_error_text(hr)}"
std::string context_error(std::string_view context, HRESULT hr);

// "{context}: {com_system_error_text(hr)}", for a failed COM call.
std::string com_context_error(std::string_view context, HRESULT hr);

// Reads GetLastError() at once and maps it to an HRESULT (0x80070000 | (e & 0xFFFF) for a
// positive value, negative values unchanged, 0 as 0x00000000) for context_error.
std::string context_error_from_last_error(std::string_view context);

// context_error for a Win32 error value, mapped as context_error_from_last_error maps it.
std::string context_error_from_win32(std::string_view context, std::uint32_t error);

}  // namespace tamsel::host::win
