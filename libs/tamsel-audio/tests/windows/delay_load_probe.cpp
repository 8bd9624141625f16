// TEST PROGRAM ONLY: a program linked like the shipped ones (tamsel_windows_program: the delay-load
// helper with the programs' failure hook, the same linker rules) that delay-imports a function
// its DLL does not export: version.dll has no TamselTestAbsentFunction on any Windows. It calls
// it inside its guarded entry, on the main thread ("main") or on a thread of its own ("thread"),
// as a program meets a function this Windows lacks. Its failure line is "PROBE {message}".
#include <windows.h>

#include <string>
#include <string_view>
#include <thread>

#include "tamsel/audio/entry_guard.hpp"
#include "tamsel/audio/platform.hpp"

extern "C" __declspec(dllimport) int WINAPI TamselTestAbsentFunction(void);

int main() {
    if (tamsel::restrict_dll_search_to_system32() != 0) return 2;
    tamsel::FailureReport failure;
    failure.report = [](std::string_view message) {
        tamsel::write_stderr_line("PROBE " + std::string(message) + "\n");
        return 1;
    };
    failure.fixed_line = "PROBE internal error\n";
    failure.system_error = [](std::string_view context, std::uint32_t code) {
        return std::string(context) + ": Windows error " + std::to_string(code);
    };
    return tamsel::run_guarded(
        [] {
            const auto args = tamsel::command_line_arguments();
            const std::string mode = args && args->size() == 2 ? (*args)[1] : "";
            int result = 0;
            if (mode == "main") {
                result = TamselTestAbsentFunction();
            } else if (mode == "thread") {
                std::thread([&result] { result = TamselTestAbsentFunction(); }).join();
            } else {
                tamsel::write_stderr_line("PROBE usage: main|thread\n");
                return 2;
            }
            tamsel::write_stderr_line("PROBE returned " + std::to_string(result) + "\n");
            return 0;
        },
        failure);
}
