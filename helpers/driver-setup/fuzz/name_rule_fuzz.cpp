// Fuzzes the path-component count: it must never read out of bounds, must agree with the
// single-component test, and a name without separators or a drive colon is always one
// component (or none when empty).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "name_rule.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const std::size_t count = tamsel::setup::windows_path_component_count(name);
    if (tamsel::setup::is_single_path_component(name) != (count == 1)) std::abort();
    if (count > size + 1) std::abort();  // at most one component per character, and the root
    if (name.find_first_of("/\\:") == std::string_view::npos && count != (size == 0 ? 0u : 1u)) std::abort();
    return 0;
}
