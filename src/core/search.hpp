// Byte and substring search over byte ranges.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string.h>  // memmem
#include <string_view>

#include "simd.hpp"

namespace molbrook {

inline constexpr size_t npos = std::string_view::npos;

// Offset of the first `byte` in hay at or after `from`, or npos.
inline size_t find_byte(std::string_view hay, char byte, size_t from = 0) noexcept {
  if (from >= hay.size()) return npos;
  const void* hit = std::memchr(hay.data() + from, byte, hay.size() - from);
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - hay.data()) : npos;
}

// Offset of the first `needle` in hay at or after `from`, or npos.
//
// Candidates are positions where both the needle's first and last byte
// match, 64 positions per step; memcmp confirms the middle. The needles of
// this library ("\n$$$$", "$$$$", "\nM  END", "\r\n") end in bytes that are
// rare in SD files, so few candidates survive the filter.
template <class Kernel>
size_t find_with(std::string_view hay, std::string_view needle, size_t from) noexcept {
  const size_t k = needle.size();
  if (k == 0) return from <= hay.size() ? from : npos;
  if (k == 1) return find_byte(hay, needle[0], from);
  if (from > hay.size() || hay.size() - from < k) return npos;
  const char* p = hay.data();
  size_t i = from;
  // A full step reads 64 bytes from i and 64 bytes from i + k - 1.
  while (hay.size() - i >= 64 + k - 1) {
    uint64_t candidates = Kernel::eq_mask(p + i, needle.front()) &
                          Kernel::eq_mask(p + i + k - 1, needle.back());
    while (candidates != 0) {
      size_t at = i + static_cast<size_t>(std::countr_zero(candidates));
      if (std::memcmp(p + at + 1, needle.data() + 1, k - 2) == 0) return at;
      candidates &= candidates - 1;
    }
    i += 64;
  }
  const void* hit = memmem(p + i, hay.size() - i, needle.data(), k);
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - p) : npos;
}

inline size_t find(std::string_view hay, std::string_view needle, size_t from = 0) noexcept {
  return find_with<simd::Native>(hay, needle, from);
}

}  // namespace molbrook
