// Line and column numbers of byte offsets, counted forward through a text.
#pragma once

#include <cstddef>
#include <string_view>

namespace molbrook::lint {

// Counts the LFs of a text up to offsets that never move backwards, so
// that numbering every finding of a scan costs one pass over its bytes.
class LineCounter {
 public:
  explicit LineCounter(std::string_view text) noexcept : text_(text) {}

  // Moves to `offset` (at or after the current one).
  void advance(size_t offset) noexcept;

  // The 1-based line and column of the current offset.
  size_t line() const noexcept { return line_; }
  size_t column() const noexcept { return position_ - line_start_ + 1; }
  // The LFs passed so far.
  size_t lines_passed() const noexcept { return line_ - 1; }

 private:
  std::string_view text_;
  size_t position_ = 0;
  size_t line_ = 1;
  size_t line_start_ = 0;
};

}  // namespace molbrook::lint
