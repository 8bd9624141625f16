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

}  // namespace
}  // namespace tamsel::host::linux_host
