#include "core/lint/line_counter.hpp"

#include <bit>
#include <cstdint>

#include "core/base/inline.hpp"
#include "core/text/simd.hpp"

namespace molbrook::lint {
namespace {

// Bits set in a word, without the POPCNT instruction that baseline x86-64
// lacks (std::popcount would call a library function there).
constexpr size_t bits_set(uint64_t word) noexcept {
  word -= (word >> 1) & 0x5555555555555555ull;
  word = (word & 0x3333333333333333ull) + ((word >> 2) & 0x3333333333333333ull);
  word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<size_t>((word * 0x0101010101010101ull) >> 56);
}

// The LF mask of text[at, at + 64), or of what is left of it.
MOLBROOK_ALWAYS_INLINE uint64_t lf_mask(std::string_view text, size_t at) noexcept {
  const size_t left = text.size() - at;
  return left >= 64 ? simd::Native::eq_mask(text.data() + at, '\n')
                    : simd::eq_mask_partial<simd::Native>(text.data() + at, left, '\n');
}

}  // namespace

// 64 bytes a step: each window's LF mask gives the count by its population
// and the last line start by its highest bit. Runs between LFs inside a
// window are under 64 bytes, so only the line that reaches into a window
// from before it can be long.
void LineCounter::advance(size_t offset) noexcept {
  while (position_ < offset) {
    const size_t step = offset - position_ < 64 ? offset - position_ : 64;
    const uint64_t mask = lf_mask(text_.substr(0, position_ + step), position_);
    if (mask != 0) {
      const size_t first = position_ + static_cast<size_t>(std::countr_zero(mask));
      if (first - line_start_ > limit_) long_line_end_ = first;
      line_ += bits_set(mask);
      line_start_ = position_ + 64 - static_cast<size_t>(std::countl_zero(mask));
    }
    position_ += step;
  }
}

size_t skip_lines(std::string_view text, size_t from, size_t count) noexcept {
  if (count == 0) return from;
  for (size_t at = from; at < text.size(); at += 64) {
    uint64_t mask = lf_mask(text, at);
    const size_t found = bits_set(mask);
    if (found < count) {
      count -= found;
      continue;
    }
    while (--count != 0) mask &= mask - 1;
    return at + static_cast<size_t>(std::countr_zero(mask)) + 1;
  }
  return text.size();
}

}  // namespace molbrook::lint
