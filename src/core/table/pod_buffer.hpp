// A growable array of plain values kept in a ByteBuffer. Growth goes
// through realloc, which moves a large array by remapping its pages where
// std::vector would copy it into fresh ones: column buffers grow by tens
// of megabytes while a table is built.
#pragma once

#include <cstring>
#include <type_traits>

#include "core/base/buffer.hpp"

namespace molbrook {

template <class T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  size_t size() const noexcept { return bytes_.size() / sizeof(T); }
  bool empty() const noexcept { return bytes_.empty(); }
  const T* data() const noexcept { return reinterpret_cast<const T*>(bytes_.data()); }
  T* data() noexcept { return reinterpret_cast<T*>(bytes_.data()); }
  T back() const noexcept { return data()[size() - 1]; }

  void push_back(T value) { append(value, 1); }
  void reserve(size_t count) { bytes_.reserve(count * sizeof(T)); }

  // Appends `count` copies of `value`. Nothing is done for none, a
  // common count (most nulls extend a bitmap within its last byte), which
  // would still call memset.
  void append(T value, size_t count) {
    if (count == 0) return;
    bytes_.reserve_extra(count * sizeof(T));
    T* end = data() + size();
    for (size_t i = 0; i < count; ++i) end[i] = value;
    bytes_.set_size(bytes_.size() + count * sizeof(T));
    bytes_.prefetch_ahead();
  }

 private:
  ByteBuffer bytes_;
};

}  // namespace molbrook
