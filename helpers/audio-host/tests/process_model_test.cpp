#include "process_model.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "fake_process_api.hpp"

namespace tamsel::host {
namespace {

using testing::FakeProcessApi;

TEST(ProcessLabel, Table) {
    struct Case {
        const char* exe;
        const char* label;
    };
    const Case cases[] = {
        {"C:\\Program Files\\App\\app.exe", "app.exe"},
        {"/usr/bin/player", "player"},
        {"C:\\mixed/dir\\sub/last.exe", "last.exe"},
        {"C:/mixed\\dir/sub\\last.exe", "last.exe"},
        {"plain.exe", "plain.exe"},
        {"C:\\dir\\", ""},
        {"/", ""},
        {"", ""},
        {"C:\\Spiele\\Gr\xc3\xbc\xc3\x9f" "e.exe", "Gr\xc3\xbc\xc3\x9f" "e.exe"},
    };
    for (const Case& c : cases) EXPECT_EQ(process_label(c.exe), c.label) << c.exe;
}

TEST(ProcessRecordJson, KeysInDeclaredOrderAndEscaped) {
    ProcessIdentity identity;
    identity.exe = "C:\\Apps\\Media \"Pro\"\\play.exe";
    identity.start = 18446744073709551615u;
    const ProcessRecord record = make_process_record(4294967295u, identity);
    EXPECT_EQ(process_record_json(record),
              R"({"id":"pid:4294967295","label":"play.exe","exe":"C:\\Apps\\Media \"Pro\"\\play.exe",)"
              R"("start_time":18446744073709551615,"active":false})");
}

TEST(ProcessListJson, EmptyAndSeveral) {
    EXPECT_EQ(process_list_json({}), "[]");
    const std::vector<ProcessRecord> records = {{"pid:1", "a", "a", 5, false}, {"pid:2", "b", "/b", 6, false}};
    EXPECT_EQ(process_list_json(records),
              R"([{"id":"pid:1","label":"a","exe":"a","start_time":5,"active":false},)"
              R"({"id":"pid:2","label":"b","exe":"/b","start_time":6,"active":false}])");
}

TEST(CollectProcessRecords, FiltersSortsDedupsAndSkips) {
    FakeProcessApi api;
    api.processes[30] = {"C:\\b\\three.exe", 303};
    api.processes[10] = {"C:\\a\\one.exe", 101};
    api.processes[20] = {"C:\\gone.exe", 202, /*running=*/false};
    api.processes[40] = {"C:\\locked.exe", 404, true, std::string("open process: Access is denied. (0x80070005)")};
    api.processes[1000] = {"C:\\translator.exe", 999};  // the host's own parent is listed like anyone
    // 50 has a window but no process any more; 0 is an owner that could not be determined.
    api.window_owners = std::vector<std::uint32_t>{30, 0, 10, 30, 50, 20, 40, 10, 1000, 0};

    const Result<std::vector<ProcessRecord>> records = collect_process_records(api);
    ASSERT_TRUE(records) << records.error();
    ASSERT_EQ(records->size(), 3u);
    EXPECT_EQ((*records)[0].id, "pid:10");
    EXPECT_EQ((*records)[0].label, "one.exe");
    EXPECT_EQ((*records)[0].start_time, 101u);
    EXPECT_EQ((*records)[1].id, "pid:30");
    EXPECT_EQ((*records)[2].id, "pid:1000");
    for (const ProcessRecord& record : *records) EXPECT_FALSE(record.active);
    // Each id queried once, ascending, never 0; every handle closed again.
    EXPECT_EQ(api.queried, (std::vector<std::uint32_t>{10, 20, 30, 40, 50, 1000}));
    EXPECT_EQ(*api.open_handles, 0);
}

TEST(CollectProcessRecords, EnumerationFailureIsReturned) {
    FakeProcessApi api;
    api.window_owners = fail("enumerate application windows: Invalid window handle. (0x80070578)");
    const Result<std::vector<ProcessRecord>> records = collect_process_records(api);
    ASSERT_FALSE(records);
    EXPECT_EQ(records.error(), "enumerate application windows: Invalid window handle. (0x80070578)");
}

TEST(CollectProcessRecords, NoCandidates) {
    FakeProcessApi api;
    api.window_owners = std::vector<std::uint32_t>{0, 0};
    const Result<std::vector<ProcessRecord>> records = collect_process_records(api);
    ASSERT_TRUE(records);
    EXPECT_TRUE(records->empty());
    EXPECT_EQ(process_list_json(*records), "[]");
}

TEST(IsAncestorOrSelf, Table) {
    // 1 -> 0; 2 -> 1; 3 -> 2; 4 -> 3; 10 <-> 11 (a loop through reused ids); 12 -> 10;
    // 20 -> 99 (parent gone); 30 -> 30 (own parent, not id 0)
    const ProcessTable table = {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {10, 11}, {11, 10}, {12, 10}, {20, 99}, {30, 30}};
    struct Case {
        std::uint32_t ancestor, start;
        int expected;  // 1 true, 0 false, -1 "cyclic process ancestry"
    };
    const Case cases[] = {
        {4, 4, 1},    // self
        {1, 4, 1},    // great-grandparent
        {3, 4, 1},    // parent
        {4, 1, 0},    // a descendant is no ancestor
        {5, 4, 0},    // unrelated, walk ends at 0
        {99, 20, 1},  // an ancestor missing from the table still matches by id
        {98, 20, 0},  // walk leaves the table
        {10, 10, 1},  // self is found before the loop matters
        {11, 10, 1},  // reached inside the loop
        {10, 12, 1},
        {7, 10, -1},  // the loop never reaches 7
        {7, 12, -1},
        {7, 30, -1},  // a process that is its own parent
        {0, 4, 0},    // 0 ends the walk; it is never an answer
        {4, 0, 0},
    };
    for (const Case& c : cases) {
        const Result<bool> result = is_ancestor_or_self(table, c.ancestor, c.start);
        if (c.expected < 0) {
            ASSERT_FALSE(result) << c.ancestor << " of " << c.start;
            EXPECT_EQ(result.error(), "cyclic process ancestry");
        } else {
            ASSERT_TRUE(result) << c.ancestor << " of " << c.start << ": " << result.error();
            EXPECT_EQ(*result, c.expected == 1) << c.ancestor << " of " << c.start;
        }
    }
}

TEST(IsAncestorOrSelf, IdleProcessIsItsOwnParentWithoutCycle) {
    const ProcessTable table = {{0, 0}, {4, 0}, {8, 4}};
    const Result<bool> result = is_ancestor_or_self(table, 99, 8);
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
}

CaptureRequest process_request(std::uint32_t excluded, std::uint32_t pid, std::string exe = "C:\\t.exe",
                               std::uint64_t start = 1) {
    return CaptureRequest{ProcessTarget{pid, std::move(exe), start}, excluded};
}
CaptureRequest system_request(std::uint32_t excluded) { return CaptureRequest{SystemTarget{}, excluded}; }

TEST(ValidateProcessTree, Table) {
    // System idle 0; translator 100 (parent 50) with child 101 and grandchild 102;
    // the host 1000 is a child of 100; 200 is unrelated; 300 is a second host-parent candidate
    // whose child is the translator's parent 50; 10 <-> 11 loop.
    const ProcessTable table = {{50, 300}, {100, 50}, {101, 100}, {102, 101}, {1000, 100}, {200, 4},
                                {4, 0},    {300, 4},  {10, 11},   {11, 10}};
    ProcessTable hostless = table;
    hostless.erase(1000);
    ProcessTable orphan_host = {{1000, 100}, {200, 4}};  // translator gone from the table

    struct Case {
        const char* name;
        CaptureRequest request;
        const ProcessTable* table;
        const char* expected;  // nullptr: valid
    };
    const Case cases[] = {
        {"system ok", system_request(100), &table, nullptr},
        {"process ok", process_request(100, 200), &table, nullptr},
        {"wrong parent, system", system_request(200), &table, "excluded PID must be the helper's parent application"},
        {"wrong parent, process", process_request(50, 200), &table, "excluded PID must be the helper's parent application"},
        {"host missing", system_request(100), &hostless, "excluded PID must be the helper's parent application"},
        {"translator gone", system_request(100), &orphan_host, "parent process is no longer present"},
        {"translator gone, process", process_request(100, 200), &orphan_host, "parent process is no longer present"},
        {"target missing", process_request(100, 777), &table, "selected process is no longer present"},
        {"target is translator", process_request(100, 100), &table,
         "selected process tree includes the translator or belongs to it"},
        {"target is child", process_request(100, 101), &table,
         "selected process tree includes the translator or belongs to it"},
        {"target is grandchild", process_request(100, 102), &table,
         "selected process tree includes the translator or belongs to it"},
        {"target is the host itself", process_request(100, 1000), &table,
         "selected process tree includes the translator or belongs to it"},
        {"target is parent of translator", process_request(100, 50), &table,
         "selected process tree includes the translator or belongs to it"},
        {"target is grandparent of translator", process_request(100, 300), &table,
         "selected process tree includes the translator or belongs to it"},
        {"target in a loop", process_request(100, 10), &table, "cyclic process ancestry"},
    };
    for (const Case& c : cases) {
        const Status status = validate_process_tree(c.request, 1000, *c.table);
        if (c.expected) {
            ASSERT_FALSE(status) << c.name;
            EXPECT_EQ(status.error(), c.expected) << c.name;
        } else {
            EXPECT_TRUE(status) << c.name << ": " << status.error();
        }
    }
}

TEST(ValidateProcessTree, LoopAboveTheTranslatorIsReportedFromTheSecondWalk) {
    // Target 200 is unrelated; the translator's ancestry loops (60 <-> 61), so the second walk
    // (from the translator upward, looking for the target) meets an id twice.
    const ProcessTable table = {{1000, 100}, {100, 60}, {60, 61}, {61, 60}, {200, 4}, {4, 0}};
    const Status status = validate_process_tree(process_request(100, 200), 1000, table);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error(), "cyclic process ancestry");
}

TEST(VerifyTargetIdentity, Table) {
    struct Case {
        const char* expected_exe;
        std::uint64_t expected_start;
        const char* actual_exe;
        std::uint64_t actual_start;
        bool matches;
    };
    const Case cases[] = {
        {"C:\\Apps\\Player.exe", 7, "C:\\Apps\\Player.exe", 7, true},
        {"c:\\apps\\PLAYER.EXE", 7, "C:\\Apps\\Player.exe", 7, true},   // ASCII case folded
        {"C:\\Apps\\Player.exe", 8, "C:\\Apps\\Player.exe", 7, false},  // other creation time
        {"C:\\Apps\\Player.exe", 0, "C:\\Apps\\Player.exe", 7, false},
        {"C:\\\xc3\x84pp.exe", 7, "C:\\\xc3\xa4pp.exe", 7, false},      // non-ASCII case is not folded
        {"C:\\\xc3\xa4pp.exe", 7, "C:\\\xc3\xa4pp.exe", 7, true},
        {"C:\\Apps\\Player.exe ", 7, "C:\\Apps\\Player.exe", 7, false}, // length differs
        {"C:/Apps/Player.exe", 7, "C:\\Apps\\Player.exe", 7, false},    // separators are not normalised
        {"C:\\Apps\\Player.ex@", 7, "C:\\Apps\\Player.ex`", 7, false},  // '@'/'`' are not letters
        {"C:\\Apps\\Player[", 7, "C:\\Apps\\Player{", 7, false},        // '['/'{' differ by 0x20 too
    };
    for (const Case& c : cases) {
        ProcessIdentity actual;
        actual.exe = c.actual_exe;
        actual.start = c.actual_start;
        const Status status = verify_target_identity(c.expected_exe, c.expected_start, actual);
        EXPECT_EQ(static_cast<bool>(status), c.matches) << c.expected_exe << " vs " << c.actual_exe;
        if (!c.matches && !status) {
            EXPECT_EQ(status.error(), "selected process identity changed; refresh the process list");
        }
    }
}

class ValidateTargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        api.self_pid = 1000;
        api.table = ProcessTable{{1000, 100}, {100, 4}, {200, 4}, {4, 0}};
        api.processes[100] = {"C:\\Translator\\translator.exe", 111};
        api.processes[200] = {"C:\\Apps\\Player.exe", 222};
    }
    FakeProcessApi api;
};

TEST_F(ValidateTargetTest, ProcessTargetGivesBothIdentitiesOpen) {
    Result<ValidatedTarget> validated = validate_target(process_request(100, 200, "c:\\apps\\player.EXE", 222), api);
    ASSERT_TRUE(validated) << validated.error();
    EXPECT_EQ(validated->translator.exe, "C:\\Translator\\translator.exe");
    EXPECT_EQ(validated->translator.start, 111u);
    ASSERT_TRUE(validated->target.has_value());
    EXPECT_EQ(validated->target->exe, "C:\\Apps\\Player.exe");
    EXPECT_EQ(validated->target->start, 222u);
    EXPECT_EQ(*api.open_handles, 2);
    EXPECT_EQ(api.queried, (std::vector<std::uint32_t>{100, 200}));
}

TEST_F(ValidateTargetTest, SystemTargetOpensOnlyTheTranslator) {
    Result<ValidatedTarget> validated = validate_target(system_request(100), api);
    ASSERT_TRUE(validated) << validated.error();
    EXPECT_FALSE(validated->target.has_value());
    EXPECT_EQ(api.queried, (std::vector<std::uint32_t>{100}));
    EXPECT_EQ(*api.open_handles, 1);
}

TEST_F(ValidateTargetTest, OrderOfChecks) {
    struct Case {
        const char* name;
        std::function<void(FakeProcessApi&)> change;
        CaptureRequest request;
        const char* expected;
        std::vector<std::uint32_t> queried;  // identities opened before the failure
    };
    const Case cases[] = {
        {"snapshot fails first", [](FakeProcessApi& a) { a.table = fail("process snapshot: boom (0x80004005)"); },
         process_request(100, 200, "C:\\Apps\\Player.exe", 222), "process snapshot: boom (0x80004005)", {}},
        {"tree before identities",
         [](FakeProcessApi& a) { a.processes.erase(100); a.processes[200].start = 1; },
         process_request(100, 100, "x", 1), "selected process tree includes the translator or belongs to it", {}},
        {"wrong parent before anything else", [](FakeProcessApi& a) { a.self_pid = 200; },
         system_request(100), "excluded PID must be the helper's parent application", {}},
        {"translator cannot be opened, system too",
         [](FakeProcessApi& a) { a.processes[100].open_error = "open process: Access is denied. (0x80070005)"; },
         system_request(100), "open process: Access is denied. (0x80070005)", {100}},
        {"translator before target",
         [](FakeProcessApi& a) {
             a.processes[100].open_error = "process executable: first (0x1)";
             a.processes[200].open_error = "process executable: second (0x2)";
         },
         process_request(100, 200, "C:\\Apps\\Player.exe", 222), "process executable: first (0x1)", {100}},
        {"target cannot be opened",
         [](FakeProcessApi& a) { a.processes[200].open_error = "process identity: gone (0x3)"; },
         process_request(100, 200, "C:\\Apps\\Player.exe", 222), "process identity: gone (0x3)", {100, 200}},
        {"target identity changed", [](FakeProcessApi&) {},
         process_request(100, 200, "C:\\Apps\\Player.exe", 223),
         "selected process identity changed; refresh the process list", {100, 200}},
        {"target exe changed", [](FakeProcessApi&) {},
         process_request(100, 200, "C:\\Apps\\Other.exe", 222),
         "selected process identity changed; refresh the process list", {100, 200}},
    };
    for (const Case& c : cases) {
        FakeProcessApi fresh;
        fresh.self_pid = api.self_pid;
        fresh.table = api.table;
        fresh.processes = api.processes;
        c.change(fresh);
        const Result<ValidatedTarget> validated = validate_target(c.request, fresh);
        ASSERT_FALSE(validated) << c.name;
        EXPECT_EQ(validated.error(), c.expected) << c.name;
        EXPECT_EQ(fresh.queried, c.queried) << c.name;
        EXPECT_EQ(*fresh.open_handles, 0) << c.name << ": a handle stayed open on a failing path";
        EXPECT_EQ(fresh.table_calls, 1) << c.name;
    }
}

}  // namespace
}  // namespace tamsel::host
