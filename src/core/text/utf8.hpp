// UTF-8 validation, shared by the connection tables and the writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

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
// 64, 32 and then eight bytes per step, since SD text is almost all ASCII.
// Inline: it runs on every short value made into a str.
inline size_t skip_ascii(std::string_view text, size_t at) noexcept {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  for (; text.size() - at >= 64; at += 64) {
    uint64_t words[8];
    std::memcpy(words, text.data() + at, 64);
    if ((words[0] | words[1] | words[2] | words[3] | words[4] | words[5] | words[6] | words[7]) & kHighBits) break;
  }
  for (; text.size() - at >= 32; at += 32) {
    uint64_t words[4];
    std::memcpy(words, text.data() + at, 32);
    if ((words[0] | words[1] | words[2] | words[3]) & kHighBits) break;
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
