#include "entry.hpp"

#include <exception>
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
    Status status = ok();
    // Nothing is meant to throw here; should a library call do so anyway (memory exhaustion),
    // the failure still leaves as one error event instead of an abnormal end.
    try {
        status = run_command(args, processes, run_capture);
    } catch (const std::exception& error) {
        status = fail(std::string("internal error: ") + error.what());
    } catch (...) {
        status = fail("internal error");
    }
    if (!status) return report_failure(status.error());
    return 0;
}

int guarded_entry(const std::function<int()>& entry) noexcept {
    return run_guarded(entry, [](std::string_view message) { return report_failure(message); },
                       R"({"code":"capture_failed","event":"error","message":"internal error"})"
                       "\n");
}

}  // namespace tamsel::host
