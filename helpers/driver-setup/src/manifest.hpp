#pragma once
// The manifest of the packaged VB-CABLE driver: file name -> SHA-256 digest (64 lower-case hex
// digits), compiled into the program as one JSON object.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "tamsel/audio/result.hpp"

namespace tamsel::setup {

// 31 members, one per line, CRLF line ends, 2982 bytes. The layout carries no meaning for the
// parser; it is kept exactly so the text stays comparable with the vendor's package listing.
extern const std::string_view DRIVER_MANIFEST;

// The largest package file the check will read: 64 MiB. The vendor's package is a few small
// installers, drivers, catalogs and INF files, its largest file (an installer) well under
// 2 MiB, so no genuine file comes near it; a larger file fails the digest comparison at once,
// unread.
inline constexpr std::uint64_t MAX_PACKAGE_FILE_BYTES = 64ull * 1024 * 1024;

// File name -> expected digest. std::string compares like memcmp (unsigned bytes), so the map
// is in byte-wise order: capitals before lower case, a prefix before its extensions.
using Manifest = std::map<std::string, std::string>;

// Parses one JSON object whose members are all strings. White space around the object is
// allowed, anything else after it is an error. A name given twice keeps its last value. A
// failure carries the JSON library's own description of the error.
Result<Manifest> parse_manifest(std::string_view text);

}  // namespace tamsel::setup
