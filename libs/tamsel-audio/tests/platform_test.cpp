#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
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
