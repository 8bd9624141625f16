#pragma once
// Integrity of the packaged driver: every file the manifest names is read whole and its
// SHA-256 compared with the manifest's digest, in byte-wise order of the names.

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "manifest.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::setup {

// Checks the files of `driver_folder` against `manifest_text` (DRIVER_MANIFEST in the program).
// Stops at the first problem:
//   the JSON library's text            the manifest does not parse as an object of strings
//   "invalid bundled file name"        a name is not exactly one path component
//   "missing bundled driver file {}"   the file cannot be opened or read (a folder included)
//   "bundled driver integrity check failed: {}"   the digest differs (exact, case-sensitive)
// Only reads; files the manifest does not name are ignored.
Status verify_package(const std::filesystem::path& driver_folder, std::string_view manifest_text = DRIVER_MANIFEST);

// The whole contents of a regular file, or no value when it cannot be opened or read.
Result<std::vector<std::uint8_t>> read_whole_file(const std::filesystem::path& file);

}  // namespace tamsel::setup
