#include "unicode.hpp"

namespace molbrook {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

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
  size_t at = 0;
  while (at < text.size()) {
    if (static_cast<uint8_t>(text[at]) < 0x80) {
      ++at;
      continue;
    }
    Sequence sequence = sequence_at(text, at);
    if (!sequence.valid) return Utf8Error{at, at + sequence.length};
    at += sequence.length;
  }
  return std::nullopt;
}

void append_utf8_lossy(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size());
  while (std::optional<Utf8Error> error = find_invalid_utf8(text)) {
    out.append(text.substr(0, error->start));
    out.append(kReplacement);
    text.remove_prefix(error->end);
  }
  out.append(text);
}

void append_latin1_as_utf8(std::string& out, std::string_view bytes) {
  out.reserve(out.size() + bytes.size());
  for (char byte : bytes) {
    const uint8_t value = static_cast<uint8_t>(byte);
    if (value < 0x80) {
      out.push_back(byte);
    } else {
      out.push_back(static_cast<char>(0xC0 | (value >> 6)));
      out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
  }
}

void append_utf8_as_latin1(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    const uint8_t value = static_cast<uint8_t>(text[at]);
    if (value < 0x80) {
      out.push_back(static_cast<char>(value));
    } else {  // C2 or C3 and one continuation byte
      out.push_back(static_cast<char>(((value & 0x03) << 6) | (static_cast<uint8_t>(text[at + 1]) & 0x3F)));
      ++at;
    }
  }
}

}  // namespace molbrook
