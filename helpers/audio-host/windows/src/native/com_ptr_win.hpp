#pragma once
// An owning pointer to a COM interface: one reference, released when the pointer lets go.
#include <windows.h>

#include <utility>

namespace tamsel::host::win {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes over a reference the caller already owns (an out-parameter of a COM call).
    static ComPtr adopt(T* raw) noexcept {
        ComPtr p;
        p.raw_ = raw;
        return p;
    }
    ComPtr(const ComPtr& other) noexcept : raw_(other.raw_) {
        if (raw_) raw_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(raw_, other.raw_);
        return *this;
    }
    ~ComPtr() { reset(); }

    void reset() noexcept {
        if (T* old = std::exchange(raw_, nullptr)) old->Release();
    }
    T* get() const noexcept { return raw_; }
    T* operator->() const noexcept { return raw_; }
    explicit operator bool() const noexcept { return raw_ != nullptr; }
    // For out-parameters: releases the current interface first.
    T** put() noexcept {
        reset();
        return &raw_;
    }

private:
    T* raw_ = nullptr;
};

}  // namespace tamsel::host::win
