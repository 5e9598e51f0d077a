// The length limit of CTAB and data header lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace molbrook::lint {

// Lines longer than this many characters break the format's limit.
inline constexpr size_t kMaxLineCharacters = 200;

// The characters of a line's content, counting a UTF-8 sequence as one
// (every byte that does not continue a sequence starts a character), when
// there are more than the limit; 0 otherwise.
constexpr size_t characters_over_limit(std::string_view content) noexcept {
  if (content.size() <= kMaxLineCharacters) return 0;
  size_t characters = 0;
  for (char byte : content) characters += (static_cast<uint8_t>(byte) & 0xC0) != 0x80;
  return characters > kMaxLineCharacters ? characters : 0;
}

}  // namespace molbrook::lint
