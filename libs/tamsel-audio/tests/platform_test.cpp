#include <gtest/gtest.h>
#include <pthread.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <cerrno>
#include <cstring>

#include "tamsel/audio/platform.hpp"

namespace tamsel {
namespace {

TEST(NamedThread, RunsBodyWithKernelLimitedName) {
    char seen[32] = {};
    std::atomic<bool> ran{false};
    auto thread = start_named_thread("tamsel-audio-control", [&] {
        pthread_getname_np(pthread_self(), seen, sizeof seen);
        ran.store(true);
    });
    ASSERT_TRUE(thread) << thread.error();
    thread->join();
    EXPECT_TRUE(ran.load());
    EXPECT_STREQ(seen, "tamsel-audio-co");  // first 15 bytes
}

TEST(OsErrorText, MessageThenDecimalCode) {
    EXPECT_EQ(os_error_text(EAGAIN), std::string(std::strerror(EAGAIN)) + " (os error 11)");
}

TEST(Environment, EmptyValueCountsAsDefined) {
    ::setenv("TAMSEL_TEST_EMPTY", "", 1);
    ::unsetenv("TAMSEL_TEST_UNSET");
    EXPECT_TRUE(environment_defined("TAMSEL_TEST_EMPTY"));
    EXPECT_FALSE(environment_defined("TAMSEL_TEST_UNSET"));
}

}  // namespace
}  // namespace tamsel

namespace tamsel {
namespace {

// A detached thread frees its own state when it ends (LeakSanitizer fails this test otherwise).
TEST(NamedThread, DetachedThreadReleasesItsStateWhenItEnds) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<std::atomic<bool>> watch = finished;
    auto thread = start_named_thread("tamsel-detached", [flag = std::move(finished)] { flag->store(true); });
    ASSERT_TRUE(thread) << thread.error();
    thread->detach();
    EXPECT_FALSE(thread->joinable());
    // The body and everything it captured go away once the thread has run.
    for (int i = 0; i < 2000 && !watch.expired(); ++i) ::usleep(1000);
    EXPECT_TRUE(watch.expired());
}

TEST(NamedThread, MoveAssignmentJoinsTheThreadItReplaces) {
    std::atomic<int> runs{0};
    auto first = start_named_thread("tamsel-first", [&] { runs.fetch_add(1); });
    auto second = start_named_thread("tamsel-second", [&] { runs.fetch_add(1); });
    ASSERT_TRUE(first && second);
    NamedThread held = std::move(*first);
    held = std::move(*second);  // joins the first
    EXPECT_GE(runs.load(), 1);
    held.join();
    EXPECT_EQ(runs.load(), 2);
}

}  // namespace
}  // namespace tamsel
