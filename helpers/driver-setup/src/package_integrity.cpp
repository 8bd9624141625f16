#include "package_integrity.hpp"

#include <fstream>
#include <system_error>
#include <utility>

#include "name_rule.hpp"
#include "sha256.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::setup {

namespace fs = std::filesystem;

Result<std::vector<std::uint8_t>> read_whole_file(const fs::path& file) {
    // A directory opens as a stream on some systems and then reads as nothing; only regular
    // files count as readable package files.
    std::error_code ec;
    if (!fs::is_regular_file(file, ec) || ec) return fail("not a regular file");
    std::ifstream stream(file, std::ios::binary);
    if (!stream) return fail("cannot open");
    std::vector<std::uint8_t> contents;
    const auto expected_size = fs::file_size(file, ec);
    if (!ec) contents.reserve(static_cast<std::size_t>(expected_size));
    char block[64 * 1024];
    while (stream) {
        stream.read(block, sizeof block);
        const auto got = static_cast<std::size_t>(stream.gcount());
        contents.insert(contents.end(), reinterpret_cast<const std::uint8_t*>(block),
                        reinterpret_cast<const std::uint8_t*>(block) + got);
    }
    if (stream.bad() || !stream.eof()) return fail("read error");
    return contents;
}

namespace {

fs::path file_in_folder(const fs::path& folder, std::string_view name) {
    // Exactly one separator between folder and name; the name is not interpreted further.
    fs::path file = folder;
    file += fs::path::preferred_separator;
#if defined(_WIN32)
    file += utf8_to_wide(name);
#else
    file += std::string(name);
#endif
    return file;
}

}  // namespace

Status verify_package(const fs::path& driver_folder, std::string_view manifest_text) {
    auto manifest = parse_manifest(manifest_text);
    if (!manifest) return manifest.error_result();
    for (const auto& [name, expected] : *manifest) {
        if (!is_single_path_component(name)) return fail("invalid bundled file name");
        Sha256Digest digest{};
        {
            // One file's contents at a time: the buffer is gone before the next file opens.
            const auto contents = read_whole_file(file_in_folder(driver_folder, name));
            if (!contents) return fail("missing bundled driver file " + name);
            auto hashed = sha256(contents->data(), contents->size());
            if (!hashed) return hashed.error_result();
            digest = *hashed;
        }
        if (to_lower_hex(digest) != expected) return fail("bundled driver integrity check failed: " + name);
    }
    return ok();
}

}  // namespace tamsel::setup
