#include "entry.hpp"

#include <variant>

#include "events.hpp"
#include "process_model.hpp"
#include "tamsel/audio/entry_guard.hpp"
#include "tamsel/audio/platform.hpp"
#include "tamsel/version.hpp"

namespace tamsel::host {
namespace {

Status write_version(ProcessApi& processes) {
    constexpr std::string_view LINE = TAMSEL_VERSION "\n";
    if (const std::int32_t error = write_stdout(LINE.data(), LINE.size()); error != 0) {
        return fail(processes.os_error_context("version", error));
    }
    return ok();
}

Status run_command(const std::vector<std::string>& args, ProcessApi& processes,
                   const std::function<Status(const CaptureRequest&)>& run_capture) {
    Result<HostCommand> command = parse_arguments(args);
    if (!command) return command.error_result();
    if (std::holds_alternative<ListProcesses>(*command)) return list_processes(processes);
    if (std::holds_alternative<ShowVersion>(*command)) return write_version(processes);
    return run_capture(std::get<CaptureRequest>(*command));
}

}  // namespace

int host_main(const std::vector<std::string>& args, ProcessApi& processes,
              const std::function<Status(const CaptureRequest&)>& run_capture) {
    const Status status = run_command(args, processes, run_capture);
    if (!status) return report_failure(status.error());
    return 0;
}

int guarded_entry(const std::function<int()>& entry, const SystemErrorText& system_error) noexcept {
    FailureReport failure;
    failure.report = [](std::string_view message) { return report_failure(message); };
    failure.fixed_line = R"({"code":"capture_failed","event":"error","message":"internal error"})"
                         "\n";
    failure.system_error = system_error;
    return run_guarded(entry, failure);
}

}  // namespace tamsel::host
