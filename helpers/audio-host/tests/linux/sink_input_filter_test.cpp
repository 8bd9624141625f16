#include "sink_input_filter.hpp"

#include <gtest/gtest.h>

namespace tamsel::host::linux_host {
namespace {

// 1 init; 10 the target, 11 its child, 12 its grandchild; 20 the translator, 30 its child.
const ProcessTable TREE = {{1, 0}, {10, 1}, {11, 10}, {12, 11}, {20, 1}, {30, 20}};

struct Case {
    const char* name;
    LoopbackSelection selection;
    std::optional<std::uint32_t> player;
    bool selected;
};

TEST(SinkInputFilter, Table) {
    const LoopbackSelection target{10, true};
    const LoopbackSelection system{20, false};
    const Case cases[] = {
        {"target itself", target, 10, true},
        {"target's grandchild", target, 12, true},
        {"translator under target capture", target, 20, false},
        {"unrelated", target, 1, false},
        {"no process named, target capture", target, std::nullopt, false},
        {"player gone from the table", target, 99, false},
        {"translator, system capture", system, 20, false},
        {"translator's child, system capture", system, 30, false},
        {"target, system capture", system, 12, true},
        {"no process named, system capture", system, std::nullopt, true},
        {"player gone, system capture", system, 99, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sink_input_selected(c.selection, c.player, TREE), c.selected) << c.name;
    }
}

TEST(SinkInputFilter, CyclicAncestryTakesNothing) {
    const ProcessTable cycle = {{5, 6}, {6, 5}, {1, 0}};
    EXPECT_FALSE(sink_input_selected(LoopbackSelection{1, true}, 5, cycle));
    EXPECT_FALSE(sink_input_selected(LoopbackSelection{1, false}, 5, cycle));
}

struct PlanCase {
    const char* name;
    bool selected;
    std::uint32_t sink;
    std::optional<std::uint32_t> monitored_sink;
    bool sink_known;
    bool ever_linked;
    MonitorAction action;
};

TEST(SinkInputFilter, MonitorPlan) {
    const PlanCase cases[] = {
        {"new stream on a known sink", true, 3, std::nullopt, true, true, MonitorAction::Open},
        {"new stream, not linked yet (PipeWire)", true, NO_SINK, std::nullopt, true, false, MonitorAction::OpenUnlinked},
        {"new stream, not linked yet, sink unknown", true, NO_SINK, std::nullopt, false, false, MonitorAction::OpenUnlinked},
        {"opened before the link, now linked", true, 3, NO_SINK, true, false, MonitorAction::Keep},
        {"opened before the link, linked to a sink not described", true, 7, NO_SINK, false, false, MonitorAction::Keep},
        {"opened before the link, a change before it", true, NO_SINK, NO_SINK, true, false, MonitorAction::Keep},
        {"linked later on a known sink", true, 3, std::nullopt, true, true, MonitorAction::Open},
        {"new stream on a sink not described yet", true, 7, std::nullopt, false, true, MonitorAction::Wait},
        {"change on the monitored sink", true, 3, 3u, true, true, MonitorAction::Keep},
        {"moved to a known sink", true, 4, 3u, true, true, MonitorAction::Reopen},
        {"moved to a sink not described yet", true, 7, 3u, false, true, MonitorAction::Wait},
        {"in the middle of a move", true, NO_SINK, 3u, true, true, MonitorAction::Keep},
        {"in the middle of a move, its monitor ended", true, NO_SINK, std::nullopt, true, true, MonitorAction::Keep},
        {"not selected", false, 3, std::nullopt, true, true, MonitorAction::Keep},
        {"not selected, not linked yet", false, NO_SINK, std::nullopt, true, false, MonitorAction::Keep},
        {"no longer selected", false, 3, 3u, true, true, MonitorAction::Close},
        {"no longer selected, opened before the link", false, NO_SINK, NO_SINK, true, false, MonitorAction::Close},
    };
    for (const PlanCase& c : cases) {
        EXPECT_EQ(plan_monitor(c.selected, c.sink, c.monitored_sink, c.sink_known, c.ever_linked), c.action) << c.name;
    }
}

}  // namespace
}  // namespace tamsel::host::linux_host
