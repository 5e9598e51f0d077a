// Asking for the cache lines a buffer being filled will write next, in the
// spelling of each compiler. A hint only: the lines asked for may lie past
// the buffer's allocation, and are then neither read nor faulted in.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace molbrook {

// Asks for the line two past `end` (an address, not a pointer into the
// buffer, which may end before it), so that the next append finds its line
// in the cache.
inline void prefetch_past(const void* end) noexcept {
  constexpr std::uintptr_t kAhead = 128;
  const auto* line = reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(end) + kAhead);
#if defined(_MSC_VER) && !defined(__clang__)
#if defined(_M_X64) || defined(_M_IX86)
  _mm_prefetch(line, _MM_HINT_T0);
#endif
#else
  __builtin_prefetch(line, 1);
#endif
}

}  // namespace molbrook
