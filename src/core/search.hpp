// Byte and substring search over byte ranges.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace molbrook {

inline constexpr size_t npos = std::string_view::npos;

// Offset of the first `byte` in hay at or after `from`, or npos.
inline size_t find_byte(std::string_view hay, char byte, size_t from = 0) noexcept {
  if (from >= hay.size()) return npos;
  const void* hit = std::memchr(hay.data() + from, byte, hay.size() - from);
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - hay.data()) : npos;
}

// A non-empty byte string to search for, and the offset in it of the byte
// that leads the search: the one rarest in SD text ('$' of a $$$$ line,
// 'E' of M  END, CR of CRLF).
struct Needle {
  std::string_view bytes;
  size_t lead;
};

// Offset of the first `needle` in hay at or after `from`, or npos.
//
// memchr, which the C library vectorises to the widest unit of the
// machine, finds each occurrence of the lead byte, and a comparison checks
// the needle around it. With a rare lead byte, nearly every byte of the
// haystack is looked at once, by memchr alone.
inline size_t find(std::string_view hay, Needle needle, size_t from = 0) noexcept {
  const size_t size = needle.bytes.size();
  if (from > hay.size() || hay.size() - from < size) return npos;
  // Where the lead byte of a match starting at the last possible offset is.
  const std::string_view leads = hay.substr(0, hay.size() - size + needle.lead + 1);
  for (size_t start = from;; ++start) {
    size_t lead = find_byte(leads, needle.bytes[needle.lead], start + needle.lead);
    if (lead == npos) return npos;
    start = lead - needle.lead;
    if (hay.substr(start, size) == needle.bytes) return start;
  }
}

}  // namespace molbrook
