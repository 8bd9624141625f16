#pragma once
// The one FormatMessageW wrapper: the text a message table holds for a code.
#include <windows.h>

#include <cstdint>
#include <string>

namespace tamsel::win {

// The message for `code`, converted to UTF-8 with trailing white space removed; empty when the
// table has none. `module` null: the system's message table. Otherwise that module's table
// alone: a code the module does not know has no text, never the system's text for the same
// number (which would describe another error).
std::string message_table_text(std::uint32_t code, HMODULE module = nullptr);

}  // namespace tamsel::win
