// Fixed-width little-endian numbers in byte strings, as file formats
// store them, read and written on machines of either byte order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/base/buffer.hpp"

namespace molbrook {

template <class T>
T load_le(const char* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big) {
    T swapped = 0;
    for (size_t i = 0; i < sizeof value; ++i) swapped = static_cast<T>((swapped << 8) | ((value >> (8 * i)) & 0xFF));
    value = swapped;
  }
  return value;
}

template <class T>
void store_le(char* p, T value) noexcept {
  for (size_t i = 0; i < sizeof value; ++i) p[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

template <class T>
void append_le(ByteBuffer& out, T value) {
  char bytes[sizeof value];
  store_le(bytes, value);
  out.append({bytes, sizeof value});
}

}  // namespace molbrook
