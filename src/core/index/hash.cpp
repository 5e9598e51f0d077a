#include "core/index/hash.hpp"

#include <bit>
#include <cstring>

namespace molbrook {
namespace {

constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kMixer = 0xD6E8FEB86659FD93ull;

// Up to eight bytes as a little-endian number.
uint64_t load_le(const char* p, size_t size) noexcept {
  uint64_t word = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&word, p, size);
  } else {
    for (size_t i = 0; i < size; ++i) word |= uint64_t{static_cast<uint8_t>(p[i])} << (8 * i);
  }
  return word;
}

uint64_t absorb(uint64_t state, uint64_t word) noexcept {
  return std::rotl((state ^ word) * kMultiplier, 29) + kMixer;
}

uint64_t finish(uint64_t state) noexcept {
  state ^= state >> 32;
  state *= kMixer;
  state ^= state >> 29;
  state *= kMultiplier;
  return state ^ (state >> 32);
}

}  // namespace

// Two lanes of eight bytes each per step, so that the multiplications of
// the lanes overlap; the length and the lanes meet in the finish.
uint64_t hash_bytes(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  size_t left = bytes.size();
  uint64_t a = bytes.size() * kMixer;
  uint64_t b = ~a;
  for (; left >= 16; p += 16, left -= 16) {
    a = absorb(a, load_le(p, 8));
    b = absorb(b, load_le(p + 8, 8));
  }
  if (left > 8) {
    a = absorb(a, load_le(p, 8));
    b = absorb(b, load_le(p + 8, left - 8));
  } else if (left > 0) {
    a = absorb(a, load_le(p, left));
  }
  return finish(a ^ std::rotl(b, 31));
}

}  // namespace molbrook
