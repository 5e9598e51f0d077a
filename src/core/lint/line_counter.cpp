#include "core/lint/line_counter.hpp"

#include <bit>
#include <cstdint>

#include "core/text/simd.hpp"

namespace molbrook::lint {

// 64 bytes a step: each window's LF mask gives the count by its population
// and the last line start by its highest bit.
void LineCounter::advance(size_t offset) noexcept {
  const char* data = text_.data();
  while (position_ < offset) {
    const size_t step = offset - position_ < 64 ? offset - position_ : 64;
    const uint64_t mask = step == 64 ? simd::Native::eq_mask(data + position_, '\n')
                                     : simd::eq_mask_partial<simd::Native>(data + position_, step, '\n');
    if (mask != 0) {
      line_ += static_cast<size_t>(std::popcount(mask));
      line_start_ = position_ + 64 - static_cast<size_t>(std::countl_zero(mask));
    }
    position_ += step;
  }
}

}  // namespace molbrook::lint
