// ASCII whitespace, stripping and blank lines.
//
// The whitespace set is exactly what Python's bytes.strip() removes: HT,
// LF, VT, FF, CR and SP. It applies to str blocks too (their bytes are
// UTF-8), so non-ASCII spaces such as U+00A0 are never whitespace here.
#pragma once

#include <string_view>

namespace molbrook {

constexpr bool is_ascii_whitespace(char byte) noexcept {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// The slice without its trailing whitespace (used for block titles).
constexpr std::string_view rstrip(std::string_view bytes) noexcept {
  size_t end = bytes.size();
  while (end > 0 && is_ascii_whitespace(bytes[end - 1])) --end;
  return bytes.substr(0, end);
}

// The slice without leading and trailing whitespace (used on SD data
// header lines).
constexpr std::string_view strip(std::string_view bytes) noexcept {
  bytes = rstrip(bytes);
  size_t start = 0;
  while (start < bytes.size() && is_ascii_whitespace(bytes[start])) ++start;
  return bytes.substr(start);
}

// True when every byte is whitespace; an empty slice is blank.
constexpr bool is_blank(std::string_view bytes) noexcept {
  for (char byte : bytes) {
    if (!is_ascii_whitespace(byte)) return false;
  }
  return true;
}

// What may follow the one block given to the SDBlock constructor: the
// whitespace set without VT, so a stray vertical tab is reported rather
// than silently dropped.
constexpr bool is_space_between_blocks(std::string_view bytes) noexcept {
  for (char byte : bytes) {
    if (!is_ascii_whitespace(byte) || byte == '\v') return false;
  }
  return true;
}

}  // namespace molbrook
