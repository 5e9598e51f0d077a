// Counting lines: line and column numbers of byte offsets, counted forward
// through a text, and the lines of a stretch without visiting each.
//
// Numbers are those an editor shows: LF, CRLF and a lone CR each end a
// line (F003 reports a lone CR as ending one). The checks' own reading,
// like molbrook's byte view, ends lines at LF alone: the counter gives
// that count too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace molbrook::lint {

// Counts the line endings of a text up to offsets that never move
// backwards, so that numbering every finding of a scan costs one pass over
// its bytes.
class LineCounter {
 public:
  // Lines of more than `limit` (at least 64) bytes between LFs are noted
  // as they pass. `holds_cr`: false spares the searches for lone CRs in
  // a text known to hold no CR.
  LineCounter(std::string_view text, size_t limit, bool holds_cr = true) noexcept
      : text_(text), limit_(limit), next_cr_(holds_cr ? 0 : text.size()) {}

  // Moves to `offset` (at or after the current one).
  void advance(size_t offset) noexcept;

  // Moves to `offset`, a line start `endings` line endings on from the
  // current offset, without reading the bytes between: their lines were
  // counted elsewhere, and none of them is asked about.
  void pass_lines(size_t offset, size_t endings) noexcept;

  // Whether a line of more than the limit ended (at its LF) at or after
  // `offset`, among the lines passed.
  bool long_line_since(size_t offset) const noexcept { return long_line_end_ != kNone && long_line_end_ >= offset; }

  // The 1-based line and column of the current offset.
  size_t line() const noexcept { return lf_line_ + lone_crs_; }
  size_t column() const noexcept { return position_ - std::max(line_start_, cr_line_start_) + 1; }
  // The line endings passed so far.
  size_t lines_passed() const noexcept { return line() - 1; }
  // The LFs passed so far, and the bytes since the last one.
  size_t lfs_passed() const noexcept { return lf_line_ - 1; }
  size_t bytes_since_lf() const noexcept { return position_ - line_start_; }

 private:
  static constexpr size_t kNone = SIZE_MAX;

  bool may_hold_cr(size_t end, size_t offset) noexcept;
  size_t cr_free_until(size_t offset) noexcept;
  void skip_lf_run(size_t end) noexcept;
  void count_lone_crs(size_t step, uint64_t lf) noexcept;

  std::string_view text_;
  size_t limit_;
  size_t long_line_end_ = kNone;  // the LF of the last long line passed
  size_t position_ = 0;
  size_t lf_line_ = 1;
  size_t line_start_ = 0;     // after the last LF passed
  size_t lone_crs_ = 0;       // passed
  size_t cr_line_start_ = 0;  // after the last lone CR passed
  size_t next_cr_ = 0;        // no CR in [position_, next_cr_)
  bool cr_before_ = false;    // the last window looked at held a CR
  bool lf_before_ = false;    // the last window looked at held an LF
};

// Where the line starts that follows `count` LFs from `from` on; the
// text's size when it holds fewer.
size_t skip_lines(std::string_view text, size_t from, size_t count) noexcept;

// The lines of `text` as numbered: its line endings, and a last line
// without one.
size_t count_lines(std::string_view text) noexcept;

}  // namespace molbrook::lint
