#pragma once
// The one owner of a kernel handle, for both programs: closes it on every path (a failed close
// is ignored). Made in the same expression that opens the handle, so nothing can throw while
// the handle exists without an owner:
//   UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
//   UniqueFileHandle file(CreateFileW(...));
// Each kind of handle says "none" its own way: the functions that make events, mutexes,
// processes and threads return null on failure (where INVALID_HANDLE_VALUE is the current
// process's pseudo-handle, a real value), those that make snapshots and files
// INVALID_HANDLE_VALUE.
#include <windows.h>

#include <utility>

namespace tamsel::win {

// Events, mutexes, processes, threads: null is "none".
struct NullHandleTraits {
    static HANDLE invalid() noexcept { return nullptr; }
};

// Snapshots and files: INVALID_HANDLE_VALUE is "none".
struct FileHandleTraits {
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
};

template <typename Traits>
class ScopedHandle {
public:
    ScopedHandle() noexcept = default;
    explicit ScopedHandle(HANDLE handle) noexcept : handle_(handle) {}
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(std::exchange(other.handle_, Traits::invalid())) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.handle_, Traits::invalid()));
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() { reset(); }

    HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::invalid(); }
    // Closes the handle held (if any) and takes `handle`, which may be this kind's "none".
    void reset(HANDLE handle = Traits::invalid()) noexcept {
        if (handle_ != Traits::invalid()) CloseHandle(handle_);
        handle_ = handle;
    }
    // Gives the handle up without closing it.
    HANDLE release() noexcept { return std::exchange(handle_, Traits::invalid()); }

private:
    HANDLE handle_ = Traits::invalid();
};

using UniqueHandle = ScopedHandle<NullHandleTraits>;
using UniqueFileHandle = ScopedHandle<FileHandleTraits>;
using UniqueSnapshotHandle = ScopedHandle<FileHandleTraits>;

}  // namespace tamsel::win
