#pragma once
// The one result type for fallible calls in this project.
//
// A call either gives its value or an error text (UTF-8, ready to show). The text is built
// where the failure happens and travels upward unchanged; the program entry reports it once.
// Nothing is thrown across module boundaries.
//
//   Result<int> parse(...);           return 42;   or   return fail("bad number");
//   Status run(...);                  return ok(); or   return fail(context + ": " + text);
//   if (!r) return r.error_result();  // pass a failure upward with another value type

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tamsel {

// The failure half of a Result: implicitly converts into any Result<T>.
struct Failure {
    std::string message;
};

inline Failure fail(std::string message) { return Failure{std::move(message)}; }

template <class T>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<T, Failure>, "Result<Failure> makes no sense");

public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}  // NOLINT

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const std::string& error() const { return std::get<1>(state_).message; }
    // The same failure, ready to be returned from a call with another value type.
    Failure error_result() const { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)), failed_(true) {}  // NOLINT

    bool has_value() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return has_value(); }

    const std::string& error() const { return failure_.message; }
    Failure error_result() const { return failure_; }

private:
    Failure failure_{};
    bool failed_ = false;
};

using Status = Result<void>;

inline Status ok() { return {}; }

}  // namespace tamsel
