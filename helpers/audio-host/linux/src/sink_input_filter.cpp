#include "sink_input_filter.hpp"

#include "process_model.hpp"

namespace tamsel::host::linux_host {

bool sink_input_selected(const LoopbackSelection& selection, std::optional<std::uint32_t> player_pid,
                         const ProcessTable& table) {
    if (!player_pid) return !selection.include_tree;
    const Result<bool> in_tree = is_ancestor_or_self(table, selection.pid, *player_pid);
    if (!in_tree) return false;
    return selection.include_tree ? *in_tree : !*in_tree;
}

}  // namespace tamsel::host::linux_host

namespace tamsel::host::linux_host {

MonitorAction plan_monitor(bool selected, std::uint32_t sink, std::optional<std::uint32_t> monitored_sink,
                           bool sink_known, bool ever_linked) {
    if (!selected) return monitored_sink ? MonitorAction::Close : MonitorAction::Keep;
    if (sink == NO_SINK) return monitored_sink || ever_linked ? MonitorAction::Keep : MonitorAction::OpenUnlinked;
    if (monitored_sink && (*monitored_sink == sink || *monitored_sink == NO_SINK)) return MonitorAction::Keep;
    if (!sink_known) return MonitorAction::Wait;
    return monitored_sink ? MonitorAction::Reopen : MonitorAction::Open;
}

}  // namespace tamsel::host::linux_host
