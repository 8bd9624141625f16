// Arbitrary UTF-16 (the input read as native 16-bit units) through the lossy conversion the
// programs use for their arguments and for Windows text: it never fails, always gives valid
// UTF-8, keeps every well-formed character and turns each unpaired surrogate into U+FFFD.
// The converted units, split at U+0000, then go through parse_arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "tamsel/audio/text.hpp"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// The expected UTF-16 after the round trip: unpaired surrogates replaced, pairs kept.
std::u16string replace_unpaired(const std::u16string& units) {
    std::u16string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            out.push_back(u);
            out.push_back(units[++i]);
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out.push_back(0xFFFD);
        } else {
            out.push_back(u);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string units(size / 2, u'\0');
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);

    const std::string utf8 = tamsel::utf16_to_utf8(units);
    check(tamsel::utf8_lossy(utf8) == utf8);  // valid UTF-8
    check(tamsel::utf8_to_utf16(utf8) == replace_unpaired(units));

    std::vector<std::string> args;
    std::size_t begin = 0;
    while (begin <= units.size() && !units.empty()) {
        std::size_t end = units.find(u'\0', begin);
        if (end == std::u16string::npos) end = units.size();
        args.push_back(tamsel::utf16_to_utf8(std::u16string_view(units).substr(begin, end - begin)));
        begin = end + 1;
    }
    const tamsel::Result<tamsel::host::HostCommand> command = tamsel::host::parse_arguments(args);
    if (!command) check(!command.error().empty());
    return 0;
}
