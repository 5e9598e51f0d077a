// Finding where the blocks of a stream start, by the rule the splitter
// cuts them with (find_block_end), over bytes that arrive a window at a
// time: a whole mapped file at once, or decompressed data chunk by chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/kind.hpp"
#include "core/read/splitter.hpp"
#include "core/text/lines.hpp"

namespace molbrook {

// One block found: its first byte's offset in the stream, the bytes from
// there to the end of the window (the block is the first end.end of them),
// and where it ends, relative to its start, as find_block_end gives it.
struct FoundBlock {
  uint64_t start;
  std::string_view rest;
  BlockEnd end;

  std::string_view bytes() const noexcept { return rest.substr(0, end.end); }
};

class BlockScanner {
 public:
  // Scans from `next_start`, a block start of the stream.
  BlockScanner(Kind kind, uint64_t next_start) noexcept
      : kind_(kind), next_start_(next_start), search_from_(next_start) {}

  // Calls visit(const FoundBlock&) for each block that `window` settles,
  // until it returns false: the scan then stops with next_start() at that
  // block, and returns false. The window holds the stream from offset
  // `base` (at or before next_start()) to its end, or to the end of the
  // stream when `at_eof`. A block whose end more bytes could still move
  // waits for the next window; a line searched once is not searched
  // again. No allocation.
  template <class Visit>
  bool scan(std::string_view window, uint64_t base, bool at_eof, Visit&& visit);

  // Where the next block starts: the bytes before it are no longer needed.
  uint64_t next_start() const noexcept { return next_start_; }

 private:
  // The end of the block at next_start_, whose bytes before search_from_
  // were searched already: first_cr counted over the whole block again.
  BlockEnd whole_block_end(std::string_view block_rest, const BlockEnd& from_search) const noexcept;
  // Moves search_from_ to the last line of `rest` that more bytes could
  // still make a $$$$ line.
  void resume_at_last_line(std::string_view rest, const BlockEnd& end) noexcept;

  Kind kind_;
  uint64_t next_start_;
  uint64_t search_from_;  // a line start in the block at next_start_
};

template <class Visit>
bool BlockScanner::scan(std::string_view window, uint64_t base, bool at_eof, Visit&& visit) {
  for (;;) {
    const size_t from = static_cast<size_t>(search_from_ - base);
    if (from >= window.size()) return true;
    std::string_view rest = window.substr(from);
    BlockEnd end = find_block_end(rest, kind_);
    // A $$$$ line that reaches the window's end may go on (a CR before an LF).
    if (!at_eof && !(end.found && end.end < rest.size())) {
      resume_at_last_line(rest, end);
      return true;
    }
    const size_t start = static_cast<size_t>(next_start_ - base);
    FoundBlock block{next_start_, window.substr(start), end};
    if (start != from) block.end = whole_block_end(block.rest, end);
    if (!visit(static_cast<const FoundBlock&>(block))) {
      search_from_ = next_start_;
      return false;
    }
    next_start_ = search_from_ = next_start_ + block.end.end;
  }
}

}  // namespace molbrook
