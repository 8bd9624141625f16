#pragma once
// The capture host's process rules: the list of candidate applications, and the checks a
// capture request must pass before any audio is touched. All of them run over ProcessApi, so
// the same rules serve Windows and Linux and are tested with tables.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.hpp"
#include "process_api.hpp"
#include "tamsel/audio/result.hpp"

namespace tamsel::host {

// One entry of the list; serialised with its keys in this declared order.
struct ProcessRecord {
    std::string id;               // "pid:" + decimal pid, what "--target" accepts
    std::string label;            // exe after its last '\' or '/'
    std::string exe;              // full image path
    std::uint64_t start_time = 0;  // creation time, what "--expected-start" expects back
    bool active = false;          // always false
};

// The part of exe after its last backslash or slash; the whole text without either; empty
// when exe ends with a separator.
std::string process_label(std::string_view exe);

ProcessRecord make_process_record(std::uint32_t pid, const ProcessIdentity& identity);

// {"id":...,"label":...,"exe":...,"start_time":...,"active":false}
std::string process_record_json(const ProcessRecord& record);

// The compact JSON array of the records, "[]" when empty, no trailing newline.
std::string process_list_json(const std::vector<ProcessRecord>& records);

// The owners of visible top-level windows, each once, ascending, 0 left out; processes that
// cannot be queried or no longer run are left out without an error.
Result<std::vector<ProcessRecord>> collect_process_records(ProcessApi& processes);

// List mode: collect_process_records, written as one JSON array on standard output.
Status list_processes(ProcessApi& processes);

// True when a is b or one of b's ancestors in the table. Fails with "cyclic process ancestry"
// when the walk from b meets an id twice. Id 0 ends every walk.
Result<bool> is_ancestor_or_self(const ProcessTable& table, std::uint32_t ancestor, std::uint32_t start);

// The host is a direct child of the excluded pid, both present, and (for a Process target) the
// target present and its tree disjoint from the translator's.
Status validate_process_tree(const CaptureRequest& request, std::uint32_t self_pid, const ProcessTable& table);

// Same exe (ASCII letters folded, every other byte exact) and the same creation time.
Status verify_target_identity(std::string_view expected_exe, std::uint64_t expected_start,
                              const ProcessIdentity& target);

// The identities a capture run keeps open for its whole length.
struct ValidatedTarget {
    ProcessIdentity translator;
    std::optional<ProcessIdentity> target;  // present for a Process target only
};

// Process table, tree rules, translator identity and, for a Process target, the target's
// identity checked against the request.
Result<ValidatedTarget> validate_target(const CaptureRequest& request, ProcessApi& processes);

}  // namespace tamsel::host
