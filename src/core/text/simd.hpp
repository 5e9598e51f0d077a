// 64-byte classification kernels behind the line scanner, the substring
// finder and newline translation.
//
// Each kernel has `eq_mask(p, bytes...)`: bit i of the result is set when
// p[i] equals one of `bytes`, over exactly 64 readable bytes at p;
// `eq_mask_partial(p, size, bytes...)`: the same over the `size` < 64 bytes
// at p, reading nothing past them; and `any_high(p)`: whether any of 64
// bytes is 128 or more. Scans call `eq_mask_upto`, which picks one of the
// first two by what is left. A mask of several bytes reads its window once.
// The scanning code is templated on the kernel, so the portable kernel
// stays compiled and tested on every machine, not only where no vector
// unit exists.
//
// The native kernel is the one of the architecture being compiled for:
// SSE2 on x86-64, NEON on arm64, the portable one elsewhere. A build may
// force one with MOLBROOK_SIMD_KERNEL (0 portable, 1 SSE2, 2 NEON).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/base/inline.hpp"

#ifndef MOLBROOK_SIMD_KERNEL
#if defined(__SSE2__) || defined(_M_X64)
#define MOLBROOK_SIMD_KERNEL 1
#elif (defined(__aarch64__) && defined(__ARM_NEON)) || defined(_M_ARM64)
#define MOLBROOK_SIMD_KERNEL 2
#else
#define MOLBROOK_SIMD_KERNEL 0
#endif
#endif

#if MOLBROOK_SIMD_KERNEL == 1
#include <emmintrin.h>
#define MOLBROOK_SIMD_SSE2 1
#elif MOLBROOK_SIMD_KERNEL == 2
#include <arm_neon.h>
#define MOLBROOK_SIMD_NEON 1
#endif

namespace molbrook::simd {

// The partial masks read the bytes they are given in place: a copy into
// a zeroed 64-byte window, read back whole, is a load the processor
// cannot forward from the copy's smaller stores, and it stalls the scan
// at the end of every short region.

// The mask over `size` >= Width bytes at p from `mask_of`, the mask of
// Width bytes, in steps whose last one ends at p + size, overlapping the
// one before it.
template <size_t Width, class MaskOf>
uint64_t overlapped_mask(const char* p, size_t size, MaskOf mask_of) noexcept {
  uint64_t mask = 0;
  for (size_t at = 0; at + Width <= size; at += Width) mask |= mask_of(p + at) << at;
  return mask | mask_of(p + size - Width) << (size - Width);
}

template <class... Bytes>
uint64_t byte_by_byte_mask(const char* p, size_t size, Bytes... bytes) noexcept {
  uint64_t mask = 0;
  for (size_t i = 0; i < size; ++i) mask |= uint64_t{((p[i] == bytes) || ...)} << i;
  return mask;
}

// Eight 8-byte words per window, with an exact per-byte zero test.
struct Portable {
  static constexpr const char* name = "portable";

  template <class... Bytes>
  static uint64_t eq_mask(const char* p, Bytes... bytes) noexcept {
    uint64_t mask = 0;
    for (size_t word = 0; word < 8; ++word) mask |= word_eq_mask(p + 8 * word, bytes...) << (8 * word);
    return mask;
  }

  template <class... Bytes>
  static uint64_t eq_mask_partial(const char* p, size_t size, Bytes... bytes) noexcept {
    if (size < 8) return byte_by_byte_mask(p, size, bytes...);
    return overlapped_mask<8>(p, size, [=](const char* word) { return word_eq_mask(word, bytes...); });
  }

  static bool any_high(const char* p) noexcept {
    uint64_t any = 0;
    for (size_t word = 0; word < 8; ++word) {
      uint64_t x;
      std::memcpy(&x, p + 8 * word, 8);
      any |= x;
    }
    return (any & 0x8080808080808080ull) != 0;
  }

 private:
  template <class... Bytes>
  static uint64_t word_eq_mask(const char* p, Bytes... bytes) noexcept {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return gather_high_bits((zero_bytes(word ^ (0x0101010101010101ull * static_cast<uint8_t>(bytes))) | ...));
  }

  // High bit of each byte set exactly where that byte of x is zero.
  static uint64_t zero_bytes(uint64_t x) noexcept {
    constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    return ~(((x & kLow7) + kLow7) | x) & kHigh;
  }

  // Moves the high bit of byte k to bit k (the byte order of a
  // little-endian load), like a vector movemask.
  static uint64_t gather_high_bits(uint64_t high) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      return ((high >> 7) * 0x0102040810204080ull) >> 56;
    } else {
      uint64_t bits = 0;
      for (int k = 0; k < 8; ++k) bits |= ((high >> (8 * (7 - k) + 7)) & 1) << k;
      return bits;
    }
  }
};

#if MOLBROOK_SIMD_SSE2
struct Sse2 {
  static constexpr const char* name = "sse2";

  template <class... Bytes>
  static uint64_t eq_mask(const char* p, Bytes... bytes) noexcept {
    uint64_t mask = 0;
    for (size_t lane = 0; lane < 4; ++lane) mask |= lane_mask(load16(p + 16 * lane), bytes...) << (16 * lane);
    return mask;
  }

  // 16 bytes a step, or 8 below 16.
  template <class... Bytes>
  static uint64_t eq_mask_partial(const char* p, size_t size, Bytes... bytes) noexcept {
    if (size >= 16) {
      return overlapped_mask<16>(p, size, [=](const char* at) { return lane_mask(load16(at), bytes...); });
    }
    if (size >= 8) {
      return overlapped_mask<8>(p, size, [=](const char* at) { return lane_mask(load8(at), bytes...) & 0xff; });
    }
    return byte_by_byte_mask(p, size, bytes...);
  }

  static bool any_high(const char* p) noexcept {
    const __m128i any =
        _mm_or_si128(_mm_or_si128(load16(p), load16(p + 16)), _mm_or_si128(load16(p + 32), load16(p + 48)));
    return _mm_movemask_epi8(any) != 0;
  }

 private:
  static __m128i load16(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  // The low half; the high half is zero.
  static __m128i load8(const char* p) noexcept { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
  template <class... Bytes>
  static uint64_t lane_mask(__m128i chunk, char byte, Bytes... more) noexcept {
    __m128i equal = _mm_cmpeq_epi8(chunk, _mm_set1_epi8(byte));
    ((equal = _mm_or_si128(equal, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(more)))), ...);
    return static_cast<uint16_t>(_mm_movemask_epi8(equal));
  }
};
using Native = Sse2;
#elif MOLBROOK_SIMD_NEON
struct Neon {
  static constexpr const char* name = "neon";

  template <class... Bytes>
  static uint64_t eq_mask(const char* p, Bytes... bytes) noexcept {
    const uint8_t* at = reinterpret_cast<const uint8_t*>(p);
    // Loaded, not brace-initialised: MSVC's vector types are unions.
    static constexpr uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t bit = vld1q_u8(kBits);
    uint8x16_t m0 = vandq_u8(any_equal(vld1q_u8(at), bytes...), bit);
    uint8x16_t m1 = vandq_u8(any_equal(vld1q_u8(at + 16), bytes...), bit);
    uint8x16_t m2 = vandq_u8(any_equal(vld1q_u8(at + 32), bytes...), bit);
    uint8x16_t m3 = vandq_u8(any_equal(vld1q_u8(at + 48), bytes...), bit);
    // Three rounds of pairwise adds fold each 8-byte group into one byte.
    uint8x16_t sum = vpaddq_u8(vpaddq_u8(m0, m1), vpaddq_u8(m2, m3));
    sum = vpaddq_u8(sum, sum);
    return vgetq_lane_u64(vreinterpretq_u64_u8(sum), 0);
  }

  static bool any_high(const char* p) noexcept {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(p);
    const uint8x16_t any = vorrq_u8(vorrq_u8(vld1q_u8(bytes), vld1q_u8(bytes + 16)),
                                    vorrq_u8(vld1q_u8(bytes + 32), vld1q_u8(bytes + 48)));
    return vmaxvq_u8(any) >= 0x80;
  }

  // Words, as the portable kernel does: NEON has no movemask, and folding
  // lanes into a mask pays for itself only over whole windows.
  template <class... Bytes>
  static uint64_t eq_mask_partial(const char* p, size_t size, Bytes... bytes) noexcept {
    return Portable::eq_mask_partial(p, size, bytes...);
  }

 private:
  template <class... Bytes>
  static uint8x16_t any_equal(uint8x16_t chunk, char byte, Bytes... more) noexcept {
    uint8x16_t equal = vceqq_u8(chunk, vdupq_n_u8(static_cast<uint8_t>(byte)));
    ((equal = vorrq_u8(equal, vceqq_u8(chunk, vdupq_n_u8(static_cast<uint8_t>(more))))), ...);
    return equal;
  }
};
using Native = Neon;
#else
using Native = Portable;
#endif

// The mask of `bytes` over the 64 bytes at p, or over the `size` there
// are where fewer are left.
template <class Kernel, class... Bytes>
MOLBROOK_ALWAYS_INLINE uint64_t eq_mask_upto(const char* p, size_t size, Bytes... bytes) noexcept {
  return size >= 64 ? Kernel::eq_mask(p, bytes...) : Kernel::eq_mask_partial(p, size, bytes...);
}

}  // namespace molbrook::simd
