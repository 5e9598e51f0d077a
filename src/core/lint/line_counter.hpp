// Counting lines: line and column numbers of byte offsets, counted forward
// through a text, and the lines of a stretch without visiting each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace molbrook::lint {

// Counts the LFs of a text up to offsets that never move backwards, so
// that numbering every finding of a scan costs one pass over its bytes.
class LineCounter {
 public:
  // Lines of more than `limit` (at least 64) bytes are noted as they pass.
  LineCounter(std::string_view text, size_t limit) noexcept : text_(text), limit_(limit) {}

  // Moves to `offset` (at or after the current one).
  void advance(size_t offset) noexcept;

  // Whether a line of more than the limit ended (at its LF) at or after
  // `offset`, among the lines passed.
  bool long_line_since(size_t offset) const noexcept { return long_line_end_ != kNone && long_line_end_ >= offset; }

  // The 1-based line and column of the current offset.
  size_t line() const noexcept { return line_; }
  size_t column() const noexcept { return position_ - line_start_ + 1; }
  // The LFs passed so far.
  size_t lines_passed() const noexcept { return line_ - 1; }

 private:
  static constexpr size_t kNone = SIZE_MAX;

  std::string_view text_;
  size_t limit_;
  size_t long_line_end_ = kNone;  // the LF of the last long line passed
  size_t position_ = 0;
  size_t line_ = 1;
  size_t line_start_ = 0;
};

// Where the line starts that follows `count` LFs from `from` on; the
// text's size when it holds fewer.
size_t skip_lines(std::string_view text, size_t from, size_t count) noexcept;

}  // namespace molbrook::lint
