#pragma once
// The full path of the running program.
#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tamsel/audio/result.hpp"

namespace tamsel::setup::win {

// GetModuleFileNameW for the program's own module, with a buffer that grows until the whole
// path fits (long paths included). A failure gives "{system message} (os error {code})".
Result<std::filesystem::path> own_module_path();

// The growing-buffer rule of own_module_path over any query with GetModuleFileNameW's
// contract: the length copied without the NUL, the capacity itself when the text was cut
// short, 0 with the last error set on failure.
Result<std::wstring> query_full_text(const std::function<DWORD(wchar_t* buffer, DWORD capacity)>& query);

}  // namespace tamsel::setup::win
