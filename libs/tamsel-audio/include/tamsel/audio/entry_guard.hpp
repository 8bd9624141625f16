#pragma once
// The one place where a failure that leaves the ordinary paths becomes the program's failure,
// for both programs: an exception that escapes the entry (nothing is meant to throw there, but
// a library call may: memory exhaustion), and a failure that cannot return to the entry at all
// (a delay-loaded DLL or function that this Windows does not have, met on whichever thread
// called it). Either way the program writes its failure line and ends with its failure code,
// never with a crash code and no message.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tamsel {

// How a program reports its failure.
struct FailureReport {
    // Writes the program's failure line for `message` (its error event, its status line) and
    // gives the exit code.
    std::function<int(std::string_view message)> report;
    // A complete line formatted beforehand, written to standard error instead when `report`
    // throws as well (memory exhausted while the line is formatted); the exit code is then 1.
    std::string_view fixed_line;
    // The program's text for a failed system call: a context phrase and the system's error code.
    // Left empty: "{context}: {os_error_text(code)}".
    std::function<std::string(std::string_view context, std::uint32_t code)> system_error;
};

// Runs `entry` and gives its exit code. An exception that escapes it goes to failure.report as
// the message "internal error: {what()}" ("internal error" when it is no std::exception), and
// report's exit code is given. While it runs, fail_program ends the process through `failure`.
int run_guarded(const std::function<int()>& entry, const FailureReport& failure) noexcept;

// Ends the process as a failure of the program whose run_guarded is running, from any thread:
// the text failure.system_error(context, code) goes to failure.report (or the fixed line), and
// the process ends at once with that exit code, without returning to its caller. The program
// ends once: of several threads that fail at the same time, and of a failure that meets the
// entry's own return, the first ends the process and the others wait for that end. A failure
// on the thread that is already ending the program (one met while its failure is reported, or
// after its entry returned) ends the process at once with exit code 1. Outside run_guarded the
// process ends with exit code 1 and writes nothing.
[[noreturn]] void fail_program(std::string_view context, std::uint32_t code) noexcept;

}  // namespace tamsel
