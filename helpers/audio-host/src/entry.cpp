#include "entry.hpp"

#include <exception>
#include <variant>

#include "events.hpp"
#include "process_model.hpp"

namespace tamsel::host {
namespace {

Status run_command(const std::vector<std::string>& args, ProcessApi& processes,
                   const std::function<Status(const CaptureRequest&)>& run_capture) {
    Result<HostCommand> command = parse_arguments(args);
    if (!command) return command.error_result();
    if (std::holds_alternative<ListProcesses>(*command)) return list_processes(processes);
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

}  // namespace tamsel::host
