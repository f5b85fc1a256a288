// Errors are values: a fallible operation returns Result<T, E>, holding either its value or
// an error. A small stand-in for std::expected that also builds with clang's older C++20 mode.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace zelto {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
  public:
    // Two overloads rather than one taking T by value: a value returned through a Result is
    // then moved once, not twice (shapes, tensor views and connections pass through several).
    Result(const T& value) : state_(std::in_place_index<0>, value) {}
    Result(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
    // The value built in place from `args`.
    template <class... Args>
    explicit Result(std::in_place_t, Args&&... args)
        : state_(std::in_place_index<0>, std::forward<Args>(args)...) {}
    template <class G>
    Result(Unexpected<G> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

  private:
    std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    template <class G>
    Result(Unexpected<G> failure) : error_(std::move(failure.error)), failed_(true) {}

    bool has_value() const { return !failed_; }
    explicit operator bool() const { return has_value(); }

    E& error() & { return error_; }
    const E& error() const& { return error_; }
    E&& error() && { return std::move(error_); }

  private:
    E error_{};
    bool failed_ = false;
};

}  // namespace zelto
