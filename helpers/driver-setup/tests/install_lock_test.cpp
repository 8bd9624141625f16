// The rules of taking the installation lock in its private namespace, over scripted system
// calls: the namespace made or entered (again, when its last user closed it meanwhile), the
// bounded wait, the take-over of an abandoned lock, what is kept while the lock is held, and
// that every failure closes what was made, newest first, with the failing call's code.

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "install_lock.hpp"

namespace tamsel::setup {
namespace {

using Calls = std::vector<std::string>;

class FakeLockCalls final : public LockCalls {
public:
    // Script: each call's result, taken in turn; an empty script succeeds.
    bool boundary_ok = true;
    std::deque<Created> namespace_results;
    std::deque<bool> open_results;
    bool mutex_ok = true;
    Waited wait_result = Waited::Signaled;
    std::uint32_t error_of_failure = 0;  // the code a failing call leaves

    Calls calls;
    std::uint32_t seen_timeout = 0;
    int open_objects = 0;  // boundary, namespace and mutex made and not yet closed

    bool create_boundary() override {
        calls.push_back("boundary");
        if (!boundary_ok) return failed();
        ++open_objects;
        return succeeded();
    }
    Created create_namespace() override {
        calls.push_back("create namespace");
        const Created result = take(namespace_results, Created::New);
        if (result == Created::New) {
            ++open_objects;
            succeeded();
        } else if (result == Created::Exists) {
            last_error_ = 183;  // ERROR_ALREADY_EXISTS
        } else {
            failed();
        }
        return result;
    }
    bool open_namespace() override {
        calls.push_back("open namespace");
        if (!take(open_results, true)) return failed();
        ++open_objects;
        return succeeded();
    }
    bool create_mutex() override {
        calls.push_back("mutex");
        if (!mutex_ok) return failed();
        ++open_objects;
        return succeeded();
    }
    Waited wait_mutex(std::uint32_t timeout_ms) override {
        calls.push_back("wait");
        seen_timeout = timeout_ms;
        if (wait_result == Waited::Failed) {
            failed();
        } else {
            last_error_ = NOISE;
        }
        return wait_result;
    }
    void release_mutex() override { closing("release mutex", false); }
    void close_mutex() override { closing("close mutex", true); }
    void close_namespace() override { closing("close namespace", true); }
    void delete_boundary() override { closing("delete boundary", true); }
    std::uint32_t last_error() override { return last_error_; }
    void set_last_error(std::uint32_t code) override { last_error_ = code; }

private:
    static constexpr std::uint32_t NOISE = 1168;  // what clean-up calls leave behind

    template <class T>
    static T take(std::deque<T>& script, T otherwise) {
        if (script.empty()) return otherwise;
        const T next = script.front();
        script.pop_front();
        return next;
    }
    bool failed() {
        last_error_ = error_of_failure;
        return false;
    }
    bool succeeded() {
        last_error_ = NOISE;
        return true;
    }
    void closing(const char* call, bool closes) {
        calls.push_back(call);
        if (closes) --open_objects;
        last_error_ = NOISE;
    }

    std::uint32_t last_error_ = 0;
};

const Calls MADE = {"boundary", "create namespace", "mutex", "wait"};
const Calls UNDONE = {"close mutex", "close namespace", "delete boundary"};
const Calls RELEASED = {"release mutex", "close mutex", "close namespace", "delete boundary"};

Calls concat(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const char* name_of(LockOutcome outcome) {
    switch (outcome) {
        case LockOutcome::Acquired:
            return "acquired";
        case LockOutcome::TimedOut:
            return "timed out";
        case LockOutcome::Failed:
            return "failed";
    }
    return "?";
}

TEST(NamespaceInstallLock, EachWayOfTakingItOrNot) {
    using Created = LockCalls::Created;
    using Waited = LockCalls::Waited;
    const struct {
        const char* label;
        void (*script)(FakeLockCalls&);
        LockOutcome outcome;
        Calls calls;  // up to the end of acquire
    } cases[] = {
        {"made here, free", [](FakeLockCalls&) {}, LockOutcome::Acquired, MADE},
        {"made by another run: entered", [](FakeLockCalls& f) { f.namespace_results = {Created::Exists}; },
         LockOutcome::Acquired, {"boundary", "create namespace", "open namespace", "mutex", "wait"}},
        {"its last user closed it between the calls: made again",
         [](FakeLockCalls& f) {
             f.namespace_results = {Created::Exists, Created::New};
             f.open_results = {false};
         },
         LockOutcome::Acquired,
         {"boundary", "create namespace", "open namespace", "create namespace", "mutex", "wait"}},
        {"left by a run that ended holding it: taken over",
         [](FakeLockCalls& f) { f.wait_result = Waited::Abandoned; }, LockOutcome::Acquired, MADE},
        {"held by another run for the whole wait", [](FakeLockCalls& f) { f.wait_result = Waited::TimedOut; },
         LockOutcome::TimedOut, concat(MADE, UNDONE)},
        {"the wait fails", [](FakeLockCalls& f) { f.wait_result = Waited::Failed; }, LockOutcome::Failed,
         concat(MADE, UNDONE)},
        {"no boundary (Wine: no private namespaces)", [](FakeLockCalls& f) { f.boundary_ok = false; },
         LockOutcome::Failed, {"boundary"}},
        {"the namespace is refused", [](FakeLockCalls& f) { f.namespace_results = {Created::Failed}; },
         LockOutcome::Failed, {"boundary", "create namespace", "delete boundary"}},
        {"the namespace exists but cannot be entered, every time",
         [](FakeLockCalls& f) {
             f.namespace_results = {Created::Exists, Created::Exists, Created::Exists, Created::Exists};
             f.open_results = {false, false, false, false};
         },
         LockOutcome::Failed,
         {"boundary", "create namespace", "open namespace", "create namespace", "open namespace", "create namespace",
          "open namespace", "delete boundary"}},
        {"the mutex is refused", [](FakeLockCalls& f) { f.mutex_ok = false; }, LockOutcome::Failed,
         {"boundary", "create namespace", "mutex", "close namespace", "delete boundary"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FakeLockCalls calls;
        calls.error_of_failure = 5;
        c.script(calls);
        {
            NamespaceInstallLock lock(calls);
            const LockOutcome outcome = lock.acquire(120000);
            EXPECT_STREQ(name_of(outcome), name_of(c.outcome));
            EXPECT_EQ(calls.calls, c.calls);
            if (outcome == LockOutcome::Failed) {
                EXPECT_EQ(calls.last_error(), 5u) << "the failing call's code, not a clean-up call's";
            }
            if (outcome == LockOutcome::Acquired) {
                EXPECT_EQ(calls.open_objects, 3) << "boundary, namespace and mutex kept while held";
                EXPECT_EQ(calls.seen_timeout, 120000u) << "the bounded wait";
                lock.release();
                EXPECT_EQ(calls.calls, concat(c.calls, RELEASED));
            }
            EXPECT_EQ(calls.open_objects, 0) << "nothing left open";
            const std::size_t before = calls.calls.size();
            lock.release();
            EXPECT_EQ(calls.calls.size(), before) << "letting go twice does nothing";
        }
    }
}

TEST(NamespaceInstallLock, HeldUntilReleasedOrDestroyed) {
    FakeLockCalls calls;
    {
        NamespaceInstallLock lock(calls);
        ASSERT_EQ(lock.acquire(10), LockOutcome::Acquired);
        EXPECT_EQ(calls.open_objects, 3);
    }
    EXPECT_EQ(calls.calls, concat(MADE, RELEASED)) << "a lock destroyed while held is let go";
    EXPECT_EQ(calls.open_objects, 0);
}

}  // namespace
}  // namespace tamsel::setup
