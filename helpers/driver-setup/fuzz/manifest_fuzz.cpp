// Fuzzes the manifest parser: any text gives a map or an error text, never an exception or a
// crash, and a map round-trips through its own JSON form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "manifest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = tamsel::setup::parse_manifest(text);
    if (!parsed) {
        if (parsed.error().empty()) std::abort();
        return 0;
    }
    // Invalid UTF-8 in names is rejected by the parser, so dump() cannot throw here.
    const std::string again = nlohmann::json(*parsed).dump();
    const auto reparsed = tamsel::setup::parse_manifest(again);
    if (!reparsed || *reparsed != *parsed) std::abort();
    return 0;
}
