// Windows error texts: the system's message for an HRESULT, the COM error-information
// description when a failing COM call left one, and NT status codes from ntdll's table.
#include "system_error_win.hpp"

#include <oleauto.h>

#include "error_text.hpp"
#include "tamsel/audio/text.hpp"
#include "tamsel/audio/windows/message_table.hpp"

namespace tamsel::host::win {
namespace {

// HRESULTs with this bit set carry an NT status code (FACILITY_NT_BIT).
constexpr std::uint32_t NT_STATUS_BIT = 0x10000000u;

std::string message_for(std::uint32_t hr) {
    if ((hr & NT_STATUS_BIT) == 0) return tamsel::win::message_table_text(hr);
    // ntdll is mapped into every process; its message table holds the NT status texts. Only
    // that table: the system table's text for the same number would describe another error.
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return {};
    return tamsel::win::message_table_text(hr & ~NT_STATUS_BIT, ntdll);
}

// The description of the thread's COM error-information object, or empty. Reading it also
// clears it, so a stale description never leaks into a later error.
std::string com_error_description() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return {};
    std::string text;
    BSTR description = nullptr;
    if (SUCCEEDED(info->GetDescription(&description)) && description) {
        text = wide_to_utf8(std::wstring_view(description, SysStringLen(description)));
    }
    if (description) SysFreeString(description);
    info->Release();
    return std::string(trim_trailing_space(text));
}

}  // namespace

std::string system_error_text(HRESULT hr) {
    const auto code = static_cast<std::uint32_t>(hr);
    return compose_system_error_text(message_for(code), code);
}

std::string com_system_error_text(HRESULT hr) {
    const std::string description = com_error_description();
    if (description.empty()) return system_error_text(hr);
    return compose_system_error_text(description, static_cast<std::uint32_t>(hr));
}

std::string context_error(std::string_view context, HRESULT hr) {
    return join_context(context, system_error_text(hr));
}

std::string com_context_error(std::string_view context, HRESULT hr) {
    return join_context(context, com_system_error_text(hr));
}

std::string context_error_from_win32(std::string_view context, std::uint32_t error) {
    return context_error(context, static_cast<HRESULT>(hresult_from_win32(error)));
}

std::string context_error_from_last_error(std::string_view context) {
    return context_error_from_win32(context, GetLastError());
}

}  // namespace tamsel::host::win
