// The one way the core reports a failure: a value of type T, or the error
// of type E that prevented it. Operations that yield nothing return
// Status<E>, empty on success.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace molbrook {

template <class T, class E>
class Result {
  static_assert(!std::is_same_v<T, E>, "a value and its error must be told apart by type");

 public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
      : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) noexcept(std::is_nothrow_move_constructible_v<E>)
      : state_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return state_.index() == 0; }

  T& operator*() noexcept { return *std::get_if<0>(&state_); }
  const T& operator*() const noexcept { return *std::get_if<0>(&state_); }
  T* operator->() noexcept { return std::get_if<0>(&state_); }
  const T* operator->() const noexcept { return std::get_if<0>(&state_); }

  E& error() noexcept { return *std::get_if<1>(&state_); }
  const E& error() const noexcept { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, E> state_;
};

template <class E>
using Status = std::optional<E>;

}  // namespace molbrook
