// UTF-8 in connection tables: the Unicode White_Space set matched in
// place, lossy decoding, and Latin-1 transcoding (validation is utf8.hpp).
//
// Table lines are UTF-8. Atom and bond fields are separated, and integer
// fields trimmed, by the 25 White_Space code points: U+0009-000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000-200A, U+2028, U+2029, U+202F, U+205F and
// U+3000. Their encodings are matched as bytes, without decoding the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/text/utf8.hpp"

namespace molbrook {

// Bytes of the White_Space character that starts at text[at], or 0.
constexpr size_t white_space_length(std::string_view text, size_t at) noexcept {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
  const size_t left = text.size() - at;
  const uint8_t lead = byte(0);
  if (lead < 0x80) return lead == ' ' || (lead >= '\t' && lead <= '\r') ? 1 : 0;
  if (lead == 0xC2) return left >= 2 && (byte(1) == 0x85 || byte(1) == 0xA0) ? 2 : 0;
  if (left < 3 || lead < 0xE1 || lead > 0xE3) return 0;
  const uint8_t second = byte(1);
  const uint8_t third = byte(2);
  switch (lead) {
    case 0xE1:  // U+1680
      return second == 0x9A && third == 0x80 ? 3 : 0;
    case 0xE2:  // U+2000-200A, U+2028, U+2029, U+202F; U+205F
      if (second == 0x80) return third <= 0x8A || third == 0xA8 || third == 0xA9 || third == 0xAF ? 3 : 0;
      return second == 0x81 && third == 0x9F ? 3 : 0;
    default:  // U+3000
      return second == 0x80 && third == 0x80 ? 3 : 0;
  }
}

// Bytes of the White_Space character that ends `text`, or 0. Every
// White_Space encoding starts with a byte that can only begin a character,
// so a matching suffix is that character.
constexpr size_t trailing_white_space_length(std::string_view text) noexcept {
  for (size_t length = 1; length <= 3 && length <= text.size(); ++length) {
    if (white_space_length(text, text.size() - length) == length) return length;
  }
  return 0;
}

// The text without White_Space at either end.
constexpr std::string_view trim_white_space(std::string_view text) noexcept {
  size_t length;
  while (!text.empty() && (length = white_space_length(text, 0)) != 0) text.remove_prefix(length);
  while ((length = trailing_white_space_length(text)) != 0) text.remove_suffix(length);
  return text;
}

// The pieces of a line between White_Space runs; empty pieces are dropped.
// Pieces are views into the line.
class WhiteSpaceFields {
 public:
  explicit WhiteSpaceFields(std::string_view text) noexcept : text_(text) {}

  bool next(std::string_view& piece) noexcept {
    size_t start = skip_white_space(position_);
    if (start == text_.size()) return false;
    size_t end = start;
    while (end < text_.size() && white_space_length(text_, end) == 0) ++end;
    piece = text_.substr(start, end - start);
    position_ = end;
    return true;
  }

 private:
  size_t skip_white_space(size_t at) const noexcept {
    while (at < text_.size()) {
      size_t length = white_space_length(text_, at);
      if (length == 0) break;
      at += length;
    }
    return at;
  }

  std::string_view text_;
  size_t position_ = 0;
};

// Appends `text` with one U+FFFD in place of each maximal subpart of an
// ill-formed sequence, the substitution the Unicode standard recommends.
void append_utf8_lossy(std::string& out, std::string_view text);

// Appends bytes decoded as Latin-1 (each byte the code point of its value).
void append_latin1_as_utf8(std::string& out, std::string_view bytes);

// Appends UTF-8 text encoded as Latin-1. Every code point must be below
// 256, as in text that came from append_latin1_as_utf8 with only ASCII
// inserted since.
void append_utf8_as_latin1(std::string& out, std::string_view text);

}  // namespace molbrook
