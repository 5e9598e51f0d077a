// Lines, line endings, the line scanner and the end of a block.
//
// A line ends with and includes one LF, or is the final run of a region
// without one; a lone CR is an ordinary byte. Its ending is CRLF when the
// byte before the LF is CR, else LF.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/text/search.hpp"
#include "core/text/simd.hpp"

namespace molbrook {

inline constexpr std::string_view kLF = "\n";
inline constexpr std::string_view kCRLF = "\r\n";

// The terminator line: any line starting with these four bytes ends a
// block. Past the start of a range, such a line follows an LF, so
// searches look for kNewlineDollars.
inline constexpr std::string_view kDollars = "$$$$";
inline constexpr Needle kNewlineDollars{"\n$$$$", 1};

// Offset just past the first LF at or after `from`, or bytes.size().
inline size_t next_line_end(std::string_view bytes, size_t from) noexcept {
  size_t lf = find_byte(bytes, '\n', from);
  return lf == npos ? bytes.size() : lf + 1;
}

// "\r\n" when the first line ends with CRLF (or, without any LF, when the
// bytes end with CR), "\n" otherwise. New lines in a block take this ending.
std::string_view first_line_ending(std::string_view bytes) noexcept;

// Where the first block of a range ends; offsets relative to the range.
struct BlockEnd {
  bool found = false;     // a $$$$ line was found
  size_t term_start = 0;  // its first "$"; meaningful only when found
  size_t end = 0;         // past the $$$$ line's line ending, or the range size
  size_t first_cr = 0;    // first CR in [0, end) when splitting str; equal
                          // to `end` when splitting bytes
};

// The LF-only search for the end of the first block in a complete range.
BlockEnd find_block_end(std::string_view bytes) noexcept;

// Where the last line of `text` starts: just past its last LF but a final
// one, or 0. Searched from the back.
size_t last_line_start(std::string_view text) noexcept;

// find_block_end of a block that no $$$$ line ends before its last line,
// read from the back: a search of its last line, not of the whole block.
BlockEnd last_block_end(std::string_view block) noexcept;

// One line of a region: [start, end), `end` just past its LF or at the
// region end for a final line without one.
struct Line {
  size_t start = 0;
  size_t end = 0;
};

// Yields the lines of a region 64 bytes per step: each window becomes a
// mask of LF positions, and each line costs a count-trailing-zeros and a
// clear-lowest-bit. Offsets are relative to the region.
template <class Kernel>
class BasicLineScanner {
 public:
  explicit BasicLineScanner(std::string_view region, size_t from = 0) noexcept
      : data_(region.data()), size_(region.size()), next_(from), next_window_(from) {}

  bool next(Line& line) noexcept {
    if (next_ >= size_) return false;
    while (mask_ == 0) {
      if (next_window_ >= size_) {
        line = {next_, size_};
        next_ = size_;
        return true;
      }
      window_ = next_window_;
      next_window_ += 64;
      mask_ = simd::eq_mask_upto<Kernel>(data_ + window_, size_ - window_, '\n');
    }
    size_t end = window_ + static_cast<size_t>(std::countr_zero(mask_)) + 1;
    mask_ &= mask_ - 1;
    line = {next_, end};
    next_ = end;
    return true;
  }

  // Offset where the next line starts.
  size_t position() const noexcept { return next_; }

 private:
  const char* data_;
  size_t size_;
  size_t next_;         // start of the next line
  size_t next_window_;  // start of the next window to classify
  size_t window_ = 0;   // start of the current window
  uint64_t mask_ = 0;   // LFs of the current window not yet consumed
};

using LineScanner = BasicLineScanner<simd::Native>;

// A line's content: the line without its LF or CRLF.
inline std::string_view line_content(std::string_view line) noexcept {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace molbrook
