#pragma once
// A program entry that ends the ordinary way even when an exception escapes it: nothing is
// meant to throw there, but a library call may (memory exhaustion), and an exception that
// leaves main() ends the process with a crash code and no message.

#include <functional>
#include <string_view>

namespace tamsel {

// Runs `entry` and gives its exit code. An exception that escapes it goes to `report` as the
// failure message "internal error: {what()}" ("internal error" when it is no std::exception),
// and report's exit code is given. Should `report` throw as well (memory exhausted while the
// line is formatted), `fixed_line`, a complete line formatted beforehand, is written to
// standard error instead and the exit code is 1.
int run_guarded(const std::function<int()>& entry, const std::function<int(std::string_view)>& report,
                std::string_view fixed_line) noexcept;

}  // namespace tamsel
