// Arbitrary argument lists (the input split at NUL bytes) through parse_arguments and, for a
// failure, through the error event line: nothing may crash, a result must keep its invariants,
// and the event line must be one valid JSON line carrying the message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "command_line.hpp"
#include "events.hpp"
#include "tamsel/audio/text.hpp"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back().push_back(static_cast<char>(data[i]));
        }
    }
    if (size == 0) args.clear();

    const tamsel::Result<tamsel::host::HostCommand> command = tamsel::host::parse_arguments(args);
    if (command) {
        if (const auto* request = std::get_if<tamsel::host::CaptureRequest>(&*command)) {
            check(request->excluded_pid != 0);
            if (const auto* process = std::get_if<tamsel::host::ProcessTarget>(&request->target)) {
                check(process->pid != 0);
                check(!process->expected_exe.empty());
                check(process->expected_start != 0);
            }
        } else if (std::holds_alternative<tamsel::host::ShowVersion>(*command)) {
            check(args.size() == 1 && args[0] == "--version");
        } else {
            check(args.size() == 1 && args[0] == "--list");
        }
        return 0;
    }

    const std::string& message = command.error();
    check(!message.empty());
    const std::string line = tamsel::host::error_event_line(message);
    check(line.find('\n') == line.size() - 1);
    const nlohmann::json event = nlohmann::json::parse(line);
    check(event.at("message").get<std::string>() == tamsel::utf8_lossy(message));
    // The same for arbitrary bytes as the message.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string raw_line = tamsel::host::error_event_line(raw);
    check(raw_line.find('\n') == raw_line.size() - 1);
    check(nlohmann::json::parse(raw_line).at("message").get<std::string>() == tamsel::utf8_lossy(raw));
    return 0;
}
