#pragma once
// The one owner of a kernel handle: closes it on every path (a failed close is ignored).
// Made in the same expression that opens the handle, so nothing can throw while the handle
// exists without an owner:
//   UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
//   UniqueSnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
// Each kind of handle says "none" its own way: the functions that make events, processes and
// threads return null on failure (where INVALID_HANDLE_VALUE is the current process's
// pseudo-handle, a real value), those that make snapshots and files INVALID_HANDLE_VALUE.
#include <windows.h>

#include <utility>

namespace tamsel::host::win {

// Events, processes, threads: null is "none".
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

private:
    HANDLE handle_ = Traits::invalid();
};

using UniqueHandle = ScopedHandle<NullHandleTraits>;
using UniqueSnapshotHandle = ScopedHandle<FileHandleTraits>;

}  // namespace tamsel::host::win
