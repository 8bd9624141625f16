// The packet loop against a scripted capture client: what reaches the worker for each kind of
// packet, the malformed packets, the client's failures, the stop conditions and the 64-packet
// drain limit.
#include "packet_loop.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "scripted_capture.hpp"

namespace tamsel::host::testing {
namespace {

constexpr std::uint32_t SILENT = PACKET_FLAG_SILENT;
constexpr std::uint32_t DISC = PACKET_FLAG_DISCONTINUITY;
constexpr std::uint32_t TIMESTAMP_ERROR = 0x4;
constexpr std::uint32_t BUFFER = 1056;

struct Loop {
    CallLog log;
    std::atomic<bool> stop{false};
    std::atomic<bool> output_failed{false};
    std::shared_ptr<std::atomic<bool>> translator_running = std::make_shared<std::atomic<bool>>(true);
    std::shared_ptr<std::atomic<bool>> target_running = std::make_shared<std::atomic<bool>>(true);
    ScriptedProcess translator{"translator", nullptr, translator_running};
    ScriptedProcess target{"target", nullptr, target_running};
    SilenceBuffer silence{};
    std::unique_ptr<ScriptedClient> client;

    explicit Loop(std::deque<Wake> wakes) : client(std::make_unique<ScriptedClient>(log, std::move(wakes), &stop, BUFFER)) {}

    // Replaces the script (for scripts whose actions need the loop itself).
    void rescript(std::deque<Wake> wakes) {
        client = std::make_unique<ScriptedClient>(log, std::move(wakes), &stop, BUFFER);
        log.clear();
    }

    Status run(bool with_target = true) {
        RecordingSink sink(log, *client, silence);
        const PacketLoopContext context{*client, translator, with_target ? &target : nullptr, stop, output_failed, silence};
        return capture_packets(context, sink);
    }
};

std::deque<Wake> one_wake(std::vector<ScriptedPacket> packets) {
    std::deque<Wake> wakes;
    wakes.push_back(Wake{WaitOutcome::Signalled, std::move(packets), {}});
    return wakes;
}

// ---- Packets: what each one turns into ------------------------------------------------------

struct PacketCase {
    const char* name;
    std::vector<ScriptedPacket> packets;
    std::vector<std::string> calls;  // after the first "wait 250"
    const char* error;               // nullptr: the loop ends normally at the end of the script
};

// The tail every successful script ends with: the drain sees no packet, the next wait ends
// the script (stop requested), the loop returns.
const std::vector<std::string> END = {"size", "wait 250"};

std::vector<std::string> with_end(std::vector<std::string> calls) {
    calls.insert(calls.end(), END.begin(), END.end());
    return calls;
}

const std::vector<PacketCase>& packet_cases() {
    static const std::vector<PacketCase> cases = {
        {"audible packet is pushed straight from the engine buffer",
         {{480, 0, PacketData::Audible}},
         with_end({"size", "get", "push packet 960", "release 480"}), nullptr},
        {"silent packet of 700 frames pushes 1024 then 376 zeros",
         {{700, SILENT, PacketData::Audible}},
         with_end({"size", "get", "push silence 1024", "push silence 376", "release 700"}), nullptr},
        {"silent packet of exactly 512 frames is one push",
         {{512, SILENT, PacketData::Audible}},
         with_end({"size", "get", "push silence 1024", "release 512"}), nullptr},
        {"silent packet of the whole buffer",
         {{BUFFER, SILENT, PacketData::Null}},
         with_end({"size", "get", "push silence 1024", "push silence 1024", "push silence 64", "release 1056"}),
         nullptr},
        {"silent packet of one frame",
         {{1, SILENT, PacketData::Null}},
         with_end({"size", "get", "push silence 2", "release 1"}), nullptr},
        {"silent packet never reads its data, even misaligned",
         {{3, SILENT, PacketData::Misaligned}},
         with_end({"size", "get", "push silence 6", "release 3"}), nullptr},
        {"discontinuity is marked before the silent samples",
         {{700, SILENT | DISC, PacketData::Audible}},
         with_end({"size", "get", "discontinuity", "push silence 1024", "push silence 376", "release 700"}), nullptr},
        {"discontinuity is marked before the audible samples",
         {{10, DISC, PacketData::Audible}},
         with_end({"size", "get", "discontinuity", "push packet 20", "release 10"}), nullptr},
        {"zero-frame packet is released without a push",
         {{0, 0, PacketData::Null}},
         with_end({"size", "get", "release 0"}), nullptr},
        {"zero-frame packet still reports its discontinuity",
         {{0, DISC, PacketData::Null}},
         with_end({"size", "get", "discontinuity", "release 0"}), nullptr},
        {"zero-frame silent packet pushes nothing",
         {{0, SILENT | DISC, PacketData::Null}},
         with_end({"size", "get", "discontinuity", "release 0"}), nullptr},
        {"timestamp-error flag is ignored",
         {{8, TIMESTAMP_ERROR, PacketData::Audible}},
         with_end({"size", "get", "push packet 16", "release 8"}), nullptr},
        {"packet of exactly the negotiated size is accepted",
         {{BUFFER, 0, PacketData::Audible}},
         with_end({"size", "get", "push packet 2112", "release 1056"}), nullptr},
        {"several packets in one drain, in order",
         {{2, 0, PacketData::Audible}, {3, SILENT, PacketData::Audible}, {4, DISC, PacketData::Audible}},
         with_end({"size", "get", "push packet 4", "release 2", "size", "get", "push silence 6", "release 3", "size",
                   "get", "discontinuity", "push packet 8", "release 4"}),
         nullptr},
        {"oversize packet is released and ends the loop before any push",
         {{BUFFER + 1, DISC | SILENT, PacketData::Audible}},
         {"size", "get", "release 1057"}, "capture packet exceeded negotiated buffer"},
        {"audible packet with a null buffer",
         {{16, 0, PacketData::Null}},
         {"size", "get", "release 16"}, "invalid float capture buffer"},
        {"audible packet with a misaligned buffer",
         {{16, 0, PacketData::Misaligned}},
         {"size", "get", "release 16"}, "invalid float capture buffer"},
        {"misaligned packet still reports its discontinuity first",
         {{16, DISC, PacketData::Misaligned}},
         {"size", "get", "discontinuity", "release 16"}, "invalid float capture buffer"},
        {"malformed packet after good ones keeps what was pushed",
         {{2, 0, PacketData::Audible}, {5, 0, PacketData::Null}},
         {"size", "get", "push packet 4", "release 2", "size", "get", "release 5"}, "invalid float capture buffer"},
    };
    return cases;
}

TEST(PacketLoop, EachPacketKindReachesTheSinkAsRequired) {
    for (const PacketCase& c : packet_cases()) {
        SCOPED_TRACE(c.name);
        Loop loop(one_wake(c.packets));
        const Status result = loop.run();
        std::vector<std::string> expected = {"wait 250"};
        expected.insert(expected.end(), c.calls.begin(), c.calls.end());
        EXPECT_EQ(loop.log, expected);
        if (c.error) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), c.error);
        } else {
            EXPECT_TRUE(result.has_value()) << result.error();
        }
    }
}

// ---- Failures of the client --------------------------------------------------------------------

TEST(PacketLoop, ClientFailuresEndTheLoopWithTheirText) {
    struct Case {
        const char* name;
        int which;  // 0 size, 1 get, 2 release
        int call;
        const char* text;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        {"first size fails", 0, 0, "next capture packet: broken (0x88890004)", {"wait 250", "size"}},
        {"second size fails", 0, 1, "next capture packet: broken (0x88890004)",
         {"wait 250", "size", "get", "push packet 4", "release 2", "size"}},
        {"get fails", 1, 0, "read capture packet: broken (0x88890004)", {"wait 250", "size", "get"}},
        {"release fails after the push", 2, 0, "release capture packet: broken (0x88890004)",
         {"wait 250", "size", "get", "push packet 4", "release 2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loop loop(one_wake({{2, 0, PacketData::Audible}, {2, 0, PacketData::Audible}}));
        std::optional<std::pair<int, std::string>> rule{{c.call, c.text}};
        (c.which == 0 ? loop.client->fail_size : c.which == 1 ? loop.client->fail_get : loop.client->fail_release) = rule;
        const Status result = loop.run();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.text);
        EXPECT_EQ(loop.log, c.calls);
    }
}

TEST(PacketLoop, FailedWaitEndsTheLoop) {
    std::deque<Wake> wakes;
    wakes.push_back(Wake{WaitOutcome::Timeout, {}, {}});
    wakes.push_back(Wake{WaitOutcome::Failed, {{4, 0, PacketData::Audible}}, {}});
    Loop loop(std::move(wakes));
    const Status result = loop.run();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "capture event wait failed");
    const std::vector<std::string> expected = {"wait 250", "wait 250"};
    EXPECT_EQ(loop.log, expected);
}

// ---- Stop conditions ---------------------------------------------------------------------------

TEST(PacketLoop, StopConditionsAtTheTopOfAPass) {
    struct Case {
        const char* name;
        bool stop, output_failed, translator_running, target_running, with_target;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"console stop", true, false, true, true, true, nullptr},
        {"output failed", false, true, true, true, true, nullptr},
        {"translator exited", false, false, false, true, true, nullptr},
        {"target exited", false, false, true, false, true, "selected process exited"},
        {"both exited: the translator's exit wins", false, false, false, false, true, nullptr},
        {"stop wins over an exited target", true, false, true, false, true, nullptr},
        {"system capture never looks at a target", false, false, true, false, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loop loop(one_wake({{4, 0, PacketData::Audible}}));
        loop.stop = c.stop;
        loop.output_failed = c.output_failed;
        *loop.translator_running = c.translator_running;
        *loop.target_running = c.target_running;
        const Status result = loop.run(c.with_target);
        if (c.error) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), c.error);
        } else {
            EXPECT_TRUE(result.has_value()) << result.error();
        }
        const bool streams = std::string(c.name) == "system capture never looks at a target";
        if (streams) {
            // It streams until the script ends.
            const std::vector<std::string> expected = {"wait 250", "size", "get", "push packet 8", "release 4",
                                                       "size", "wait 250"};
            EXPECT_EQ(loop.log, expected);
        } else {
            EXPECT_TRUE(loop.log.empty()) << "nothing may be waited for or read";
        }
    }
}

TEST(PacketLoop, StopConditionsArisingMidRunEndAfterTheCurrentDrain) {
    struct Case {
        const char* name;
        std::function<void(Loop&)> during_second_wake;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"console stop", [](Loop& l) { l.stop = true; }, nullptr},
        {"output failed", [](Loop& l) { l.output_failed = true; }, nullptr},
        {"translator exits", [](Loop& l) { *l.translator_running = false; }, nullptr},
        {"target exits", [](Loop& l) { *l.target_running = false; }, "selected process exited"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loop loop({});
        Loop* self = &loop;
        // Arm the change inside the second wait: that wake's packet is still drained.
        std::deque<Wake> scripted;
        scripted.push_back(Wake{WaitOutcome::Signalled, {{2, 0, PacketData::Audible}}, {}});
        scripted.push_back(Wake{WaitOutcome::Signalled, {{3, 0, PacketData::Audible}}, [self, &c] { c.during_second_wake(*self); }});
        scripted.push_back(Wake{WaitOutcome::Signalled, {{5, 0, PacketData::Audible}}, {}});
        loop.rescript(std::move(scripted));
        const Status result = loop.run();
        if (c.error) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), c.error);
        } else {
            EXPECT_TRUE(result.has_value()) << result.error();
        }
        const std::vector<std::string> expected = {"wait 250", "size", "get", "push packet 4", "release 2", "size",
                                                   "wait 250", "size", "get", "push packet 6", "release 3", "size"};
        EXPECT_EQ(loop.log, expected);
    }
}

TEST(PacketLoop, TimeoutStartsTheNextPassAndSeesTheFlags) {
    std::deque<Wake> wakes;
    wakes.push_back(Wake{WaitOutcome::Timeout, {}, {}});
    Loop loop({});
    Loop* self = &loop;
    wakes.push_back(Wake{WaitOutcome::Timeout, {}, [self] { *self->target_running = false; }});
    loop.rescript(std::move(wakes));
    const Status result = loop.run();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "selected process exited");
    const std::vector<std::string> expected = {"wait 250", "wait 250"};
    EXPECT_EQ(loop.log, expected);
}

// ---- The drain limit -----------------------------------------------------------------------------

std::vector<ScriptedPacket> packets(int n) { return std::vector<ScriptedPacket>(static_cast<std::size_t>(n), {1, 0, PacketData::Audible}); }

int count(const CallLog& log, const std::string& what) {
    int n = 0;
    for (const std::string& entry : log) n += entry == what ? 1 : 0;
    return n;
}

TEST(PacketLoop, DrainsAtMost64PacketsPerWakeThenLooksAtTheFlags) {
    // 100 packets pending after one signal; the stop arrives while the 10th is drained.
    Loop loop({});
    Loop* self = &loop;
    std::deque<Wake> wakes;
    wakes.push_back(Wake{WaitOutcome::Signalled, packets(100), {}});
    loop.rescript(std::move(wakes));
    ScriptedClient& client = *loop.client;

    class StopAtTenth {
    public:
        StopAtTenth(RecordingSink sink, Loop& l) : sink_(sink), loop_(l) {}
        std::size_t push_samples(const float* s, std::size_t n) noexcept {
            if (++pushes_ == 10) loop_.stop = true;
            return sink_.push_samples(s, n);
        }
        void mark_discontinuity() noexcept { sink_.mark_discontinuity(); }

    private:
        RecordingSink sink_;
        Loop& loop_;
        int pushes_ = 0;
    } sink(RecordingSink(loop.log, client, loop.silence), *self);

    const PacketLoopContext context{client, loop.translator, &loop.target, loop.stop, loop.output_failed, loop.silence};
    EXPECT_TRUE(capture_packets(context, sink).has_value());
    EXPECT_EQ(count(loop.log, "push packet 2"), 64);
    EXPECT_EQ(count(loop.log, "size"), 64) << "the 65th packet is not even asked for";
    EXPECT_EQ(count(loop.log, "wait 250"), 1);
    EXPECT_EQ(client.pending(), 36u);
    EXPECT_EQ(loop.log.back(), "release 1");
}

TEST(PacketLoop, MoreThan64PendingPacketsTakeASecondPass) {
    std::deque<Wake> wakes = one_wake(packets(100));
    wakes.push_back(Wake{WaitOutcome::Signalled, {}, {}});  // the engine signals again
    Loop loop(std::move(wakes));
    EXPECT_TRUE(loop.run().has_value());
    EXPECT_EQ(count(loop.log, "push packet 2"), 100);
    // wait, 64 packets, wait (the same event signalled again), 36 packets and the empty size,
    // then the script's last wait.
    ASSERT_EQ(loop.log.size(), 1 + 64 * 4 + 1 + 36 * 4 + 1 + 1);
    EXPECT_EQ(loop.log[0], "wait 250");
    EXPECT_EQ(loop.log[1 + 64 * 4], "wait 250");
    EXPECT_EQ(loop.client->pending(), 0u);
}

}  // namespace
}  // namespace tamsel::host::testing
