// Byte and substring search over byte ranges.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/base/inline.hpp"
#include "core/text/simd.hpp"

namespace molbrook {

inline constexpr size_t npos = std::string_view::npos;

// Offset of the first `byte` in hay at or after `from`, or npos.
inline size_t find_byte(std::string_view hay, char byte, size_t from = 0) noexcept {
  if (from >= hay.size()) return npos;
  const void* hit = std::memchr(hay.data() + from, byte, hay.size() - from);
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - hay.data()) : npos;
}

// Offset of the last `byte` in hay, or npos: 64 bytes a step from the
// end, the first step overlapping the second where hay is no multiple of 64.
template <class Kernel>
size_t find_last_byte_with(std::string_view hay, char byte) noexcept {
  auto last_in = [](uint64_t mask, size_t window) { return window + 63 - static_cast<size_t>(std::countl_zero(mask)); };
  size_t end = hay.size();
  if (end < 64) {
    uint64_t mask = Kernel::eq_mask_partial(hay.data(), end, byte);
    return mask != 0 ? last_in(mask, 0) : npos;
  }
  for (; end >= 64; end -= 64) {
    if (uint64_t mask = Kernel::eq_mask(hay.data() + end - 64, byte)) return last_in(mask, end - 64);
  }
  // The first `end` bytes: bits past them were seen by the last step.
  uint64_t mask = Kernel::eq_mask(hay.data(), byte) & ((uint64_t{1} << end) - 1);
  return mask != 0 ? last_in(mask, 0) : npos;
}

inline size_t find_last_byte(std::string_view hay, char byte) noexcept {
  return find_last_byte_with<simd::Native>(hay, byte);
}

// Offset of the first CR or LF in hay at or after `from`, or npos: 64
// bytes a step, so the search reads no further than the step of its hit.
template <class Kernel>
size_t find_line_break_with(std::string_view hay, size_t from) noexcept {
  for (size_t window = from; window < hay.size(); window += 64) {
    const uint64_t breaks = simd::eq_mask_upto<Kernel>(hay.data() + window, hay.size() - window, '\r', '\n');
    if (breaks != 0) return window + static_cast<size_t>(std::countr_zero(breaks));
  }
  return npos;
}

inline size_t find_line_break(std::string_view hay, size_t from = 0) noexcept {
  return find_line_break_with<simd::Native>(hay, from);
}

// A non-empty byte string to search for, and the offset in it of the byte
// that leads the search: the one rarest in SD text ('$' of a $$$$ line,
// 'E' of M  END, CR of CRLF).
struct Needle {
  std::string_view bytes;
  size_t lead;
};

// Where lead bytes crowd, as crafted text can make them: the first start
// at or after `start` that may match, stepping 64 starts at a time and
// keeping those where both the lead byte and a second byte of the needle
// match. Returns a match, or the start of the first step without any lead
// byte, or of the bytes too few for a step. Out of line: it seldom runs.
template <class Kernel>
MOLBROOK_NOINLINE size_t skip_crowded_leads(std::string_view hay, Needle needle, size_t start) noexcept {
  const size_t size = needle.bytes.size();
  const size_t last_start = hay.size() - size;
  const size_t lead = needle.lead;
  const size_t pair = lead == 0 ? size - 1 : 0;
  const char* p = hay.data();
  // A step reads 64 bytes from start + lead and from start + pair.
  for (uint64_t leads = 1; leads != 0 && start + 63 <= last_start; start += 64) {
    leads = Kernel::eq_mask(p + start + lead, needle.bytes[lead]);
    for (uint64_t both = leads & Kernel::eq_mask(p + start + pair, needle.bytes[pair]); both != 0;
         both &= both - 1) {
      size_t at = start + static_cast<size_t>(std::countr_zero(both));
      if (std::memcmp(p + at, needle.bytes.data(), size) == 0) return at;
    }
  }
  return start;
}

// Offset of the first `needle` in hay at or after `from`, or npos.
//
// memchr, which the C library vectorises to the widest unit of the
// machine, finds the next lead byte, and in SD text that is nearly always
// the match. After a lead byte that is not, the search skips ahead where
// lead bytes crowd, so that no text costs a library call per byte. Always
// inlined: each caller's needle is a constant, which then compares in a
// few instructions.
template <class Kernel>
MOLBROOK_ALWAYS_INLINE size_t find_with(std::string_view hay, Needle needle, size_t from) noexcept {
  const size_t size = needle.bytes.size();
  if (from > hay.size() || hay.size() - from < size) return npos;
  const size_t last_start = hay.size() - size;
  for (size_t start = from; start <= last_start;) {
    const void* hit = std::memchr(hay.data() + start + needle.lead, needle.bytes[needle.lead], last_start - start + 1);
    if (hit == nullptr) return npos;
    start = static_cast<size_t>(static_cast<const char*>(hit) - hay.data()) - needle.lead;
    if (hay.substr(start, size) == needle.bytes) return start;
    start = skip_crowded_leads<Kernel>(hay, needle, start + 1);
  }
  return npos;
}

inline size_t find(std::string_view hay, Needle needle, size_t from = 0) noexcept {
  return find_with<simd::Native>(hay, needle, from);
}

}  // namespace molbrook
