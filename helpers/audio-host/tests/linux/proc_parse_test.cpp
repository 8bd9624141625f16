#include "proc_parse.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tamsel::host::linux_host {
namespace {

// Fields 3..22 after the command name: state, ppid, then 17 more, start time last.
std::string stat_line(const std::string& comm, const std::string& ppid, const std::string& start) {
    return "4242 (" + comm + ") S " + ppid + " 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 " + start +
           " 2330624 400 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
}

struct StatCase {
    const char* name;
    std::string line;
    bool ok;
    std::uint32_t parent;
    std::uint64_t start;
};

TEST(ProcParse, StatLineTable) {
    const StatCase cases[] = {
        {"plain", stat_line("bash", "1", "123456"), true, 1, 123456},
        {"spaces in comm", stat_line("Web Content", "77", "5"), true, 77, 5},
        {"paren and spaces in comm", stat_line("a) S 9 9 (b", "31", "900"), true, 31, 900},
        {"comm ending in paren", stat_line("x)", "2", "7"), true, 2, 7},
        {"empty comm", stat_line("", "3", "8"), true, 3, 8},
        {"largest pid", stat_line("p", "4294967295", "1"), true, 4294967295u, 1},
        {"ppid beyond 32 bits", stat_line("p", "4294967296", "1"), false, 0, 0},
        {"negative ppid", stat_line("p", "-1", "1"), false, 0, 0},
        {"no closing paren", "4242 (bash S 1 2 3", false, 0, 0},
        {"too few fields", "4242 (bash) S 1 2 3 4\n", false, 0, 0},
        {"empty", "", false, 0, 0},
        {"state of two letters", "1 (x) SS 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 0 0 1 0 5 1 1", false, 0, 0},
    };
    for (const StatCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Result<ProcStat> parsed = parse_proc_stat(c.line);
        ASSERT_EQ(parsed.has_value(), c.ok) << (parsed ? "" : parsed.error());
        if (!c.ok) {
            EXPECT_EQ(parsed.error(), "malformed process status");
            continue;
        }
        EXPECT_EQ(parsed->parent_pid, c.parent);
        EXPECT_EQ(parsed->start_ticks, c.start);
        EXPECT_EQ(parsed->state, 'S');
    }
}

TEST(ProcParse, BootTime) {
    const char* text = "cpu  1 2 3\ncpu0 1 2 3\nintr 5\nctxt 99\nbtime 1700000000\nprocesses 12\n";
    const Result<std::uint64_t> boot = parse_boot_time(text);
    ASSERT_TRUE(boot) << boot.error();
    EXPECT_EQ(*boot, 1700000000u);

    for (const char* bad : {"cpu 1\nprocesses 2\n", "btime \n", "btime x12\n", "xbtime 12\n", ""}) {
        SCOPED_TRACE(bad);
        const Result<std::uint64_t> missing = parse_boot_time(bad);
        ASSERT_FALSE(missing);
        EXPECT_EQ(missing.error(), "boot time missing");
    }
}

TEST(ProcParse, FiletimeFromStart) {
    struct Case {
        std::uint64_t boot, ticks, per_second, expected;
    };
    const Case cases[] = {
        {0, 0, 100, 116444736000000000ULL},                       // 1970-01-01 in FILETIME units
        {1700000000, 0, 100, 133444736000000000ULL},              // a boot in November 2023
        {1700000000, 12345, 100, 133444737234500000ULL},          // 123.45 s after that boot
        {1700000000, 3, 1000, 133444736000030000ULL},             // 3 ms at a 1000 Hz tick
        {1700000000, 1, 3, 133444736003333333ULL},                // a third of a second, truncated
    };
    for (const Case& c : cases) {
        EXPECT_EQ(filetime_from_start(c.boot, c.ticks, c.per_second), c.expected) << c.boot << " " << c.ticks;
    }
}

TEST(ProcParse, DeletedMark) {
    EXPECT_EQ(strip_deleted_mark("/usr/bin/app (deleted)").value_or("none"), "/usr/bin/app");
    EXPECT_FALSE(strip_deleted_mark("/usr/bin/app"));
    EXPECT_FALSE(strip_deleted_mark("/usr/bin/app (deleted) "));
    EXPECT_FALSE(strip_deleted_mark("(deleted)"));
}

TEST(ProcParse, PidText) {
    EXPECT_EQ(parse_pid_text("1").value_or(0), 1u);
    EXPECT_EQ(parse_pid_text("4294967295").value_or(0), 4294967295u);
    for (const char* bad : {"", "0", "4294967296", "12a", "+5", "-5", " 5", "self"}) {
        EXPECT_FALSE(parse_pid_text(bad)) << bad;
    }
}

}  // namespace
}  // namespace tamsel::host::linux_host
