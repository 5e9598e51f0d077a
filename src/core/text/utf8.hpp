// UTF-8 validation, shared by the connection tables and the writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/text/simd.hpp"

namespace molbrook {

// The first ill-formed sequence of a text: [start, end) is the maximal
// subpart the Unicode standard replaces by one U+FFFD, which runs to the
// end of the text for a sequence cut short.
struct Utf8Error {
  size_t start;
  size_t end;
};

std::optional<Utf8Error> find_invalid_utf8(std::string_view text) noexcept;

// Offset of the first byte of 128 or more at or after `at`, or the size;
// 64 bytes a step by the vector kernel, then eight, since SD text is
// almost all ASCII. Inline: it runs on every short value made into a str.
inline size_t skip_ascii(std::string_view text, size_t at) noexcept {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  for (; text.size() - at >= 64; at += 64) {
    if (simd::Native::any_high(text.data() + at)) break;
  }
  for (; text.size() - at >= 8; at += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    if (word & kHighBits) break;
  }
  while (at < text.size() && static_cast<uint8_t>(text[at]) < 0x80) ++at;
  return at;
}

// True when no byte is 128 or more.
inline bool is_ascii(std::string_view text) noexcept { return skip_ascii(text, 0) == text.size(); }

}  // namespace molbrook
