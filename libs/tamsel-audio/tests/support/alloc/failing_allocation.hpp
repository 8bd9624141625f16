#pragma once
// Allocation-failure injection for tests of the paths that run when an allocation throws.
//
// A test program that links tamsel_test_failing_allocation gets a global operator new that
// counts the allocations of each thread separately (allocations_on_this_thread). It goes
// through operator new and not malloc because AddressSanitizer owns malloc; the standard
// library allocates through operator new, so every container, string or std::function counts, and
// so does every object of an over-aligned type (operator new with std::align_val_t). Arming a thread makes its n-th allocation
// from then on throw std::bad_alloc (once); other threads are untouched, so a thread started by
// the code under test allocates normally unless it arms itself.
//
//   for (std::size_t n = 1;; ++n) {
//       tamsel::test::fail_allocation(n);
//       bool failed = false;
//       try { run(); } catch (const std::bad_alloc&) { failed = true; }
//       tamsel::test::disarm_allocation_failure();
//       ...                         // what must hold whether or not allocation n failed
//       if (!tamsel::test::allocation_failure_fired()) break;  // run() needs fewer than n
//   }

#include <chrono>
#include <cstddef>
#include <functional>

namespace tamsel::test {

// Every operator new (the nothrow and the over-aligned forms included) this thread has made so far.
std::size_t allocations_on_this_thread() noexcept;

// From now on, this thread's n-th allocation (n >= 1) throws std::bad_alloc.
void fail_allocation(std::size_t n) noexcept;
// This thread allocates normally again.
void disarm_allocation_failure() noexcept;
// True when this thread's armed failure has fired since it was last armed.
bool allocation_failure_fired() noexcept;

// Runs `body` on its own thread and waits at most `limit`. A body that has not returned by
// then is a hang: the test program prints `what` and ends at once with exit code 1, since the
// stuck thread can neither be joined nor abandoned safely.
void finish_within(std::chrono::seconds limit, const char* what, const std::function<void()>& body);

// One run of for_each_failing_allocation.
struct FailingRun {
    std::size_t armed = 0;  // the allocation that was made to fail
    bool fired = false;     // the run made that many allocations, so the failure happened
    bool threw = false;     // the run ended in std::bad_alloc
};

// Runs `run` again and again on a thread of its own, with that thread's allocation number 1,
// 2, 3, ... failing in turn, until a run finishes without reaching the armed number; `check`
// follows each run on the calling thread, and `prepare` (when given) comes before each run, on
// the calling thread, with nothing armed. Every run must end within `limit` (finish_within).
void for_each_failing_allocation(std::chrono::seconds limit, const char* what, const std::function<void()>& run,
                                 const std::function<void(const FailingRun&)>& check,
                                 const std::function<void()>& prepare = {});

}  // namespace tamsel::test
