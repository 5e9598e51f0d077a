#include "core/text/utf8.hpp"

#include <cstdint>

namespace molbrook {
namespace {

struct Sequence {
  size_t length;  // of the character, or of the maximal ill-formed subpart
  bool valid;
};

// The sequence at text[at] (not ASCII), by the table of well-formed UTF-8
// byte sequences: the lead byte fixes the length and the range of the
// second byte; later bytes are 80..BF.
Sequence sequence_at(std::string_view text, size_t at) noexcept {
  const uint8_t lead = static_cast<uint8_t>(text[at]);
  size_t length;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return {1, false};
  }
  for (size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return {i, false};
    const uint8_t byte = static_cast<uint8_t>(text[at + i]);
    if (byte < low || byte > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {length, true};
}

}  // namespace

std::optional<Utf8Error> find_invalid_utf8(std::string_view text) noexcept {
  for (size_t at = skip_ascii(text, 0); at < text.size(); at = skip_ascii(text, at)) {
    Sequence sequence = sequence_at(text, at);
    if (!sequence.valid) return Utf8Error{at, at + sequence.length};
    at += sequence.length;
  }
  return std::nullopt;
}

}  // namespace molbrook
