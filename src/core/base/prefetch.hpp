// Asking for a cache line before it is written, in the spelling of each
// compiler. A hint only: the line is neither read nor faulted in.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace molbrook {

inline void prefetch_for_write(const void* address) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
#if defined(_M_X64) || defined(_M_IX86)
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#endif
#else
  __builtin_prefetch(address, 1);
#endif
}

}  // namespace molbrook
