#include "manifest.hpp"

#include <exception>

#include <nlohmann/json.hpp>

namespace tamsel::setup {

Result<Manifest> parse_manifest(std::string_view text) {
    try {
        // nlohmann's parser keeps the last of duplicate keys and rejects trailing garbage;
        // get<> rejects a non-object or a non-string member with a type_error of its own.
        const nlohmann::json document = nlohmann::json::parse(text.begin(), text.end());
        return document.get<Manifest>();
    } catch (const std::exception& error) {
        return fail(error.what());
    }
}

}  // namespace tamsel::setup
