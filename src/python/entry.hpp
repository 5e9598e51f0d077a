// The boundary between the interpreter and C++.
#pragma once

#include <new>
#include <type_traits>

#include "ref.hpp"

namespace molbrook::py {

template <auto Function, class Signature = decltype(Function)>
struct Entry;

// Every function the interpreter calls (slots, methods, getters) is
// registered as entry<f>: an allocation failure anywhere below it, in the
// core or in the standard library, becomes MemoryError instead of crossing
// the C API boundary as a C++ exception.
template <auto Function, class Result, class... Args>
struct Entry<Function, Result (*)(Args...)> {
  static Result call(Args... args) noexcept {
    try {
      return Function(args...);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
      } else {
        return Result(-1);
      }
    }
  }
};

// A function that cannot throw needs no guard.
template <auto Function, class Result, class... Args>
struct Entry<Function, Result (*)(Args...) noexcept> {
  static Result call(Args... args) noexcept { return Function(args...); }
};

template <auto Function>
inline constexpr auto entry = &Entry<Function>::call;

}  // namespace molbrook::py
