// Field helpers shared by the V2000 and V3000 sketch readers.
#pragma once

#include <charconv>
#include <cmath>
#include <string_view>

#include "core/ctable/header.hpp"
#include "core/text/lines.hpp"
#include "core/text/strip.hpp"

namespace molbrook::depict {

// Characters [start, start + size) of a fixed-column line, clipped to it.
inline std::string_view column(std::string_view line, size_t start, size_t size) noexcept {
  return start >= line.size() ? std::string_view{} : line.substr(start, size);
}

// A coordinate: trimmed ASCII whitespace around a finite decimal number.
inline CtabResult<double> number_field(std::string_view text, std::string_view field, size_t line) {
  std::string_view trimmed = strip(text);
  if (trimmed.empty()) return malformed(line, MalformedDetail::NoField{field});
  double value = 0;
  const char* end = trimmed.data() + trimmed.size();
  auto [stop, error] = std::from_chars(trimmed.data(), end, value);
  if (error != std::errc{} || stop != end || !std::isfinite(value)) {
    return malformed(line, MalformedDetail::NotANumber{field, std::string(trimmed)});
  }
  return value;
}

// An integer field that may be blank (0 then), as V2000's optional ones.
inline CtabResult<int64_t> optional_int_field(std::string_view text, std::string_view field, size_t line) {
  if (is_blank(text)) return int64_t{0};
  return parse_int_field(text, field, line);
}

}  // namespace molbrook::depict
