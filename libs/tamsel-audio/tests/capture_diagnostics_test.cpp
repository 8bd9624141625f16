// When the TAMSEL_CAPTURE line is due, on a fake clock, and what it says.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "output.hpp"

namespace tamsel::capture {
namespace {

using std::chrono::milliseconds;

struct Step {
    int at_ms;             // time since the worker started
    std::uint64_t drops;   // frames dropped just before this check
    bool line;             // a line is printed at this check
};

struct Scenario {
    const char* name;
    bool diagnostics;
    std::vector<Step> steps;
};

class DiagnosticTiming : public ::testing::TestWithParam<Scenario> {};

TEST_P(DiagnosticTiming, PrintsExactlyWhenDue) {
    const Scenario& s = GetParam();
    const MonotonicClock::time_point start{std::chrono::hours(5)};
    DiagnosticCheck check(s.diagnostics, start);
    CaptureCounters counters;
    for (const Step& step : s.steps) {
        counters.dropped_frames += step.drops;
        const std::string line = check.check(start + milliseconds(step.at_ms), counters, 48000, 2);
        EXPECT_EQ(!line.empty(), step.line) << s.name << " at " << step.at_ms << " ms";
        if (!line.empty()) {
            EXPECT_NE(line.find(" dropped_frames=" + std::to_string(counters.dropped_frames.load()) + " "),
                      std::string::npos)
                << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DiagnosticTiming,
    ::testing::Values(
        Scenario{"off and nothing dropped: never", false,
                 {{2, 0, false}, {999, 0, false}, {1000, 0, false}, {5000, 0, false}, {60000, 0, false}}},
        Scenario{"on: every whole second, never earlier", true,
                 {{2, 0, false}, {999, 0, false}, {1000, 0, true}, {1002, 0, false}, {1999, 0, false},
                  {2001, 0, true}, {2500, 0, false}, {3001, 0, true}, {9000, 0, true}}},
        Scenario{"off, drops at 0.3 s: the first check after 1 s, then only after new drops", false,
                 {{300, 512, false}, {302, 0, false}, {998, 0, false}, {1000, 0, true}, {1002, 0, false},
                  {5000, 0, false}, {5002, 10, true}, {5004, 10, false}, {6001, 0, false}, {6003, 0, true},
                  {9000, 0, false}}},
        Scenario{"off, drops long after the last line: printed at once", false,
                 {{1000, 0, false}, {7000, 1, true}, {7500, 1, false}, {8100, 0, true}, {20000, 0, false}}},
        Scenario{"on with drops: still once per second", true,
                 {{500, 5, false}, {1000, 5, true}, {1500, 5, false}, {2000, 5, true}}}),
    [](const auto& param_info) { return "case" + std::to_string(param_info.index); });

TEST(DiagnosticLine, HasTheFixedLayout) {
    struct Case {
        std::uint32_t rate;
        std::uint16_t channels;
        std::uint64_t accepted, dropped, discontinuities;
        const char* expected;
    };
    const Case cases[] = {
        {48000, 2, 96000, 0, 0,
         "TAMSEL_CAPTURE rate=48000 channels=2 accepted_frames=96000 dropped_frames=0 discontinuities=0\n"},
        {44100, 1024, 18446744073709551615u, 1, 7,
         "TAMSEL_CAPTURE rate=44100 channels=1024 accepted_frames=18446744073709551615 dropped_frames=1 "
         "discontinuities=7\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(diagnostic_line(c.rate, c.channels, c.accepted, c.dropped, c.discontinuities), c.expected);
    }
}

TEST(DiagnosticCheck, ReadsAllCountersWhenItPrints) {
    const MonotonicClock::time_point start{};
    DiagnosticCheck check(true, start);
    CaptureCounters counters;
    counters.accepted_frames = 48000;
    counters.dropped_frames = 3;
    counters.discontinuities = 2;
    EXPECT_EQ(check.check(start + milliseconds(1000), counters, 48000, 2),
              "TAMSEL_CAPTURE rate=48000 channels=2 accepted_frames=48000 dropped_frames=3 discontinuities=2\n");
}

}  // namespace
}  // namespace tamsel::capture
