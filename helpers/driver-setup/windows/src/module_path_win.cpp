#include "module_path_win.hpp"

#include <cstdint>
#include <utility>

#include "tamsel/audio/platform.hpp"

namespace tamsel::setup::win {

Result<std::wstring> query_full_text(const std::function<DWORD(wchar_t*, DWORD)>& query) {
    // Paths reach 32767 units; start at MAX_PATH and double while the text is cut short.
    constexpr DWORD LIMIT = 65536;
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const auto capacity = static_cast<DWORD>(buffer.size());
        const DWORD length = query(buffer.data(), capacity);
        if (length == 0) return fail(os_error_text(static_cast<std::int32_t>(GetLastError())));
        if (length < capacity) {
            buffer.resize(length);
            return buffer;
        }
        if (capacity >= LIMIT) return fail(os_error_text(ERROR_INSUFFICIENT_BUFFER));
        buffer.assign(static_cast<std::size_t>(capacity) * 2, L'\0');
    }
}

Result<std::filesystem::path> own_module_path() {
    auto text = query_full_text(
        [](wchar_t* buffer, DWORD capacity) { return GetModuleFileNameW(nullptr, buffer, capacity); });
    if (!text) return text.error_result();
    return std::filesystem::path(std::move(*text));
}

}  // namespace tamsel::setup::win
