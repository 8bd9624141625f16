// The counting, failing global operator new behind failing_allocation.hpp.
#include "failing_allocation.hpp"

#if defined(_WIN32)
#include <malloc.h>
#include <windows.h>
#endif

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

namespace {

struct ThreadArming {
    std::size_t remaining = 0;  // 0: not armed; otherwise allocations left until the failing one
    bool fired = false;
    std::size_t allocations = 0;
};

#if defined(_WIN32)
// The system's thread-local slots rather than the compiler's thread_local: under arm64 Wine
// some system calls (LocalFree among them) return with the TEB register x18 overwritten, and
// compiled TLS reads through x18 would then fault; TlsGetValue finds the thread by itself.
// Each thread's record is made with malloc (never operator new, which calls this) and kept
// for the life of the test program.
ThreadArming& this_thread_arming() noexcept {
    static const DWORD slot = TlsAlloc();
    auto* record = static_cast<ThreadArming*>(TlsGetValue(slot));
    if (!record) {
        record = static_cast<ThreadArming*>(std::calloc(1, sizeof(ThreadArming)));
        if (!record) std::abort();
        TlsSetValue(slot, record);
    }
    return *record;
}
#else
ThreadArming& this_thread_arming() noexcept {
    thread_local ThreadArming arming;
    return arming;
}
#endif

// Counts this allocation; true when it is the armed one.
bool take_failure() noexcept {
    ThreadArming& arming = this_thread_arming();
    ++arming.allocations;
    if (arming.remaining == 0) return false;
    if (--arming.remaining != 0) return false;
    arming.fired = true;
    return true;
}

void* allocate(std::size_t size) noexcept { return std::malloc(size == 0 ? 1 : size); }

// Out of line so the compiler does not see free() meet a pointer from operator new.
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }

// The over-aligned forms (a type declared alignas(64), for one) have their own allocator pair.
void* allocate_aligned(std::size_t size, std::align_val_t alignment) noexcept {
    const auto align = static_cast<std::size_t>(alignment);
    size = size == 0 ? align : (size + align - 1) / align * align;
#if defined(_WIN32)
    return _aligned_malloc(size, align);
#else
    void* p = nullptr;
    return posix_memalign(&p, align < sizeof(void*) ? sizeof(void*) : align, size) == 0 ? p : nullptr;
#endif
}

[[gnu::noinline]] void release_aligned(void* p) noexcept {
#if defined(_WIN32)
    _aligned_free(p);
#else
    std::free(p);
#endif
}

}  // namespace

void* operator new(std::size_t size) {
    if (take_failure()) throw std::bad_alloc();
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return take_failure() ? nullptr : allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return take_failure() ? nullptr : allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

void* operator new(std::size_t size, std::align_val_t alignment) {
    if (take_failure()) throw std::bad_alloc();
    if (void* p = allocate_aligned(size, alignment)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) { return ::operator new(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return take_failure() ? nullptr : allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return take_failure() ? nullptr : allocate_aligned(size, alignment);
}
void operator delete(void* p, std::align_val_t) noexcept { release_aligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release_aligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release_aligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release_aligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release_aligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release_aligned(p); }

namespace tamsel::test {

std::size_t allocations_on_this_thread() noexcept { return this_thread_arming().allocations; }
void fail_allocation(std::size_t n) noexcept {
    this_thread_arming().remaining = n;
    this_thread_arming().fired = false;
}
void disarm_allocation_failure() noexcept { this_thread_arming().remaining = 0; }
bool allocation_failure_fired() noexcept { return this_thread_arming().fired; }

void finish_within(std::chrono::seconds limit, const char* what, const std::function<void()>& body) {
    std::mutex mutex;
    std::condition_variable done_signal;
    bool done = false;
    std::thread runner([&] {
        body();
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        done_signal.notify_all();
    });
    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        finished = done_signal.wait_for(lock, limit, [&] { return done; });
    }
    if (!finished) {
        std::fprintf(stderr, "HANG: %s did not return within %lld s\n", what, static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
}

void for_each_failing_allocation(std::chrono::seconds limit, const char* what, const std::function<void()>& run,
                                 const std::function<void(const FailingRun&)>& check,
                                 const std::function<void()>& prepare) {
    // A bound far above any path tested, so a run that allocates for ever cannot loop for ever.
    constexpr std::size_t MOST = 100000;
    for (std::size_t n = 1; n <= MOST; ++n) {
        if (prepare) prepare();
        FailingRun result;
        result.armed = n;
        finish_within(limit, what, [&] {
            fail_allocation(n);
            try {
                run();
            } catch (const std::bad_alloc&) {
                result.threw = true;
            }
            result.fired = allocation_failure_fired();
            disarm_allocation_failure();
        });
        check(result);
        if (!result.fired) return;
    }
    std::fprintf(stderr, "%s: still allocating after %zu allocations\n", what, MOST);
    std::_Exit(1);
}

}  // namespace tamsel::test
