#pragma once
// The one owner of a kernel handle: closes it on every path (a failed close is ignored).
// Made in the same expression that opens the handle, so nothing can throw while the handle
// exists without an owner:
//   UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
#include <windows.h>

#include <utility>

namespace tamsel::host::win {

class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    // Takes `handle`; null and INVALID_HANDLE_VALUE both mean "none".
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    void reset(HANDLE handle = nullptr) noexcept {
        if (handle_) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

}  // namespace tamsel::host::win
