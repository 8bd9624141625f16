// Windows error texts: the system's message for an HRESULT, the COM error-information
// description when a failing COM call left one, and NT status codes from ntdll's table.
#include "system_error_win.hpp"

#include <oleauto.h>

#include <cstdint>

#include "error_text.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::host::win {
namespace {

// HRESULTs with this bit set carry an NT status code (FACILITY_NT_BIT).
constexpr std::uint32_t NT_STATUS_BIT = 0x10000000u;

std::string message_table_text(std::uint32_t hr) {
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD code = hr;
    HMODULE module = nullptr;
    if ((hr & NT_STATUS_BIT) != 0) {
        // ntdll is mapped into every process; its message table holds the NT status texts.
        module = GetModuleHandleW(L"ntdll.dll");
        if (module) {
            flags |= FORMAT_MESSAGE_FROM_HMODULE;
            code = hr & ~NT_STATUS_BIT;
        }
    }
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(flags, module, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text;
    if (length != 0 && buffer) text = wide_to_utf8(std::wstring_view(buffer, length));
    if (buffer) LocalFree(buffer);
    return text;
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

std::string system_error_text(HRESULT hr, bool com_call) {
    const auto code = static_cast<std::uint32_t>(hr);
    std::string message;
    if (com_call) message = com_error_description();
    if (message.empty()) message = message_table_text(code);
    return compose_system_error_text(message, code);
}

std::string context_error(std::string_view context, HRESULT hr, bool com_call) {
    return join_context(context, system_error_text(hr, com_call));
}

std::string context_error_from_last_error(std::string_view context) {
    const DWORD error = GetLastError();
    return context_error(context, static_cast<HRESULT>(hresult_from_win32(error)));
}

}  // namespace tamsel::host::win
