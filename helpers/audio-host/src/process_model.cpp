#include "process_model.hpp"

#include <set>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "error_text.hpp"
#include "tamsel/audio/platform.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::host {
namespace {

nlohmann::ordered_json record_object(const ProcessRecord& record) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["id"] = utf8_lossy(record.id);
    object["label"] = utf8_lossy(record.label);
    object["exe"] = utf8_lossy(record.exe);
    object["start_time"] = record.start_time;
    object["active"] = record.active;
    return object;
}

std::string dump_compact(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

std::string process_label(std::string_view exe) {
    const std::size_t separator = exe.find_last_of("\\/");
    if (separator == std::string_view::npos) return std::string(exe);
    return std::string(exe.substr(separator + 1));
}

ProcessRecord make_process_record(std::uint32_t pid, const ProcessIdentity& identity) {
    ProcessRecord record;
    record.id = "pid:" + std::to_string(pid);
    record.label = process_label(identity.exe);
    record.exe = identity.exe;
    record.start_time = identity.start;
    record.active = false;
    return record;
}

std::string process_record_json(const ProcessRecord& record) { return dump_compact(record_object(record)); }

std::string process_list_json(const std::vector<ProcessRecord>& records) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const ProcessRecord& record : records) array.push_back(record_object(record));
    return dump_compact(array);
}

Result<std::vector<ProcessRecord>> collect_process_records(ProcessApi& processes) {
    Result<std::vector<std::uint32_t>> owners = processes.visible_window_owners();
    if (!owners) return owners.error_result();
    std::set<std::uint32_t> pids;
    for (const std::uint32_t pid : *owners) {
        if (pid != 0) pids.insert(pid);
    }
    std::vector<ProcessRecord> records;
    for (const std::uint32_t pid : pids) {
        Result<ProcessIdentity> identity = processes.query_process_identity(pid);
        if (!identity || !identity->handle) continue;
        if (!identity->handle->is_running()) continue;
        records.push_back(make_process_record(pid, *identity));
        // The identity (and its handle) is released at the end of this pass.
    }
    return records;
}

Status list_processes(ProcessApi& processes) {
    Result<std::vector<ProcessRecord>> records = collect_process_records(processes);
    if (!records) return records.error_result();
    const std::string text = process_list_json(*records);
    if (const std::int32_t error = write_stdout(text.data(), text.size()); error != 0) {
        return fail(processes.os_error_context("process list", error));
    }
    return ok();
}

std::string ProcessApi::os_error_context(std::string_view context, std::int32_t code) {
    return os_error_context_text(context, code);
}

Result<bool> is_ancestor_or_self(const ProcessTable& table, std::uint32_t ancestor, std::uint32_t start) {
    std::set<std::uint32_t> visited;
    std::uint32_t current = start;
    while (current != 0) {
        if (current == ancestor) return true;
        if (!visited.insert(current).second) return fail("cyclic process ancestry");
        const auto entry = table.find(current);
        if (entry == table.end()) return false;
        current = entry->second;
    }
    return false;
}

Status validate_process_tree(const CaptureRequest& request, std::uint32_t self_pid, const ProcessTable& table) {
    const std::uint32_t translator = request.excluded_pid;
    const auto self = table.find(self_pid);
    if (self == table.end() || self->second != translator) {
        return fail("excluded PID must be the helper's parent application");
    }
    if (table.find(translator) == table.end()) return fail("parent process is no longer present");

    const auto* process = std::get_if<ProcessTarget>(&request.target);
    if (!process) return ok();
    if (table.find(process->pid) == table.end()) return fail("selected process is no longer present");

    Result<bool> inside = is_ancestor_or_self(table, translator, process->pid);
    if (!inside) return inside.error_result();
    bool overlap = *inside;
    if (!overlap) {
        Result<bool> contains = is_ancestor_or_self(table, process->pid, translator);
        if (!contains) return contains.error_result();
        overlap = *contains;
    }
    if (overlap) return fail("selected process tree includes the translator or belongs to it");
    return ok();
}

Status verify_target_identity(std::string_view expected_exe, std::uint64_t expected_start,
                              const ProcessIdentity& target) {
    if (!ascii_iequal(expected_exe, target.exe) || expected_start != target.start) {
        return fail("selected process identity changed; refresh the process list");
    }
    return ok();
}

Result<ValidatedTarget> validate_target(const CaptureRequest& request, ProcessApi& processes) {
    Result<ProcessTable> table = processes.take_process_table();
    if (!table) return table.error_result();
    if (Status tree = validate_process_tree(request, processes.current_process_id(), *table); !tree) {
        return tree.error_result();
    }

    Result<ProcessIdentity> translator = processes.query_process_identity(request.excluded_pid);
    if (!translator) return translator.error_result();

    ValidatedTarget validated{std::move(*translator), std::nullopt};
    if (const auto* process = std::get_if<ProcessTarget>(&request.target)) {
        Result<ProcessIdentity> target = processes.query_process_identity(process->pid);
        if (!target) return target.error_result();
        if (Status same = verify_target_identity(process->expected_exe, process->expected_start, *target); !same) {
            return same.error_result();
        }
        validated.target.emplace(std::move(*target));
    }
    return validated;
}

}  // namespace tamsel::host
