#include <windows.h>

#include <cstdint>
#include <string>

#include "module_path_win.hpp"
#include "tamsel/audio/platform.hpp"

namespace tamsel::setup::win {

Result<std::filesystem::path> own_module_path() {
    // A path is at most 32767 units; grow from MAX_PATH while the result is truncated.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const auto capacity = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
        if (length == 0) return fail(os_error_text(static_cast<std::int32_t>(GetLastError())));
        if (length < capacity) {
            buffer.resize(length);
            return std::filesystem::path(buffer);
        }
        if (capacity >= 65536) return fail(os_error_text(ERROR_INSUFFICIENT_BUFFER));
        buffer.assign(static_cast<std::size_t>(capacity) * 2, L'\0');
    }
}

}  // namespace tamsel::setup::win
