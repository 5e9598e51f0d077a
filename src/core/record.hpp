// SD data records: reading them out of a block's SD data section and
// editing them.
#pragma once

#include <optional>
#include <string_view>

namespace molbrook {

// How new header lines are written: "> <N>", ">  <N>", or like the block's
// first header line (prefix and suffix around the name copied).
enum class HeaderStyle { Plain, Padded, Copy };

// The style named by the `header` argument, matched exactly.
constexpr std::optional<HeaderStyle> parse_header_style(std::string_view text) noexcept {
  if (text == "plain") return HeaderStyle::Plain;
  if (text == "padded") return HeaderStyle::Padded;
  if (text == "copy") return HeaderStyle::Copy;
  return std::nullopt;
}

}  // namespace molbrook
