#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace molbrook {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Offset of the first byte of 128 or more at or after `from`, or the size.
size_t skip_ascii(std::string_view bytes, size_t from) noexcept {
  const char* p = bytes.data();
  size_t i = from;
  for (; bytes.size() - i >= 8; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & kHighBits) break;
  }
  while (i < bytes.size() && static_cast<unsigned char>(p[i]) < 0x80) ++i;
  return i;
}

// The allowed range of the second byte of a sequence started by `lead`
// (later bytes are always 0x80..0xBF), and the sequence length; length 0
// for a byte that cannot start a sequence. The narrower second-byte ranges
// exclude overlong forms, surrogates and code points past U+10FFFF.
struct LeadRule {
  uint8_t length;
  uint8_t low;
  uint8_t high;
};

constexpr LeadRule lead_rule(uint8_t lead) noexcept {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  return {0, 0, 0};
}

}  // namespace

std::optional<Utf8Error> find_invalid_utf8(std::string_view bytes) noexcept {
  const auto byte_at = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  size_t i = skip_ascii(bytes, 0);
  while (i < bytes.size()) {
    const LeadRule rule = lead_rule(byte_at(i));
    if (rule.length == 0) return Utf8Error{i, i + 1};
    for (size_t k = 1; k < rule.length; ++k) {
      if (i + k == bytes.size()) return Utf8Error{i, bytes.size()};
      const uint8_t low = k == 1 ? rule.low : 0x80;
      const uint8_t high = k == 1 ? rule.high : 0xBF;
      if (byte_at(i + k) < low || byte_at(i + k) > high) return Utf8Error{i, i + k};
    }
    i = skip_ascii(bytes, i + rule.length);
  }
  return std::nullopt;
}

bool is_ascii(std::string_view bytes) noexcept { return skip_ascii(bytes, 0) == bytes.size(); }

}  // namespace molbrook
