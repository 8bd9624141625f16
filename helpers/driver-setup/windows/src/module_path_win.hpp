#pragma once
// The full path of the running program.
#include <filesystem>

#include "tamsel/audio/result.hpp"

namespace tamsel::setup::win {

// GetModuleFileNameW for the program's own module, with a buffer that grows until the whole
// path fits (long paths included). A failure gives "{system message} (os error {code})".
Result<std::filesystem::path> own_module_path();

}  // namespace tamsel::setup::win
