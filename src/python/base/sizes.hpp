// The two conversions between the core's sizes (size_t) and the C API's
// (Py_ssize_t), named so that each crossing is visible and checked in
// one place, and the bytes of a bytes object as a view.
#pragma once

#include <cassert>
#include <cstddef>
#include <string_view>

#include "base/ref.hpp"

namespace molbrook::py {

// A size of the core as the C API takes it. Every such size counts bytes
// or items held in memory, which never exceed PY_SSIZE_T_MAX.
inline Py_ssize_t to_py_size(size_t size) noexcept {
  assert(size <= static_cast<size_t>(PY_SSIZE_T_MAX));
  return static_cast<Py_ssize_t>(size);
}

// A size or index the C API gave, known not to be negative (a length, or
// an argument checked before), as the core takes it.
inline size_t to_size(Py_ssize_t size) noexcept {
  assert(size >= 0);
  return static_cast<size_t>(size);
}

// The bytes of a bytes object, alive as long as it is.
inline std::string_view bytes_view(PyObject* bytes) noexcept {
  return {PyBytes_AS_STRING(bytes), to_size(PyBytes_GET_SIZE(bytes))};
}

}  // namespace molbrook::py
