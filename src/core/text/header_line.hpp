// SD data header lines, the lines that start records: a line whose
// content, stripped of white space, starts with "> ". Shared by the record
// scanner and by the rule that finds where a block's MDL ends.
#pragma once

#include <string_view>

#include "core/text/strip.hpp"

namespace molbrook {

inline constexpr std::string_view kHeaderMark = "> ";

constexpr bool is_header_line(std::string_view line) noexcept { return strip(line).starts_with(kHeaderMark); }

// Whether the first line of `text` that is not blank is a header line.
constexpr bool starts_with_header_line(std::string_view text) noexcept {
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (!is_blank(line)) return is_header_line(line);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return false;
}

}  // namespace molbrook
