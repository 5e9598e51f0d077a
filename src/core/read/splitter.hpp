// Cutting a byte stream into blocks.
//
// A block ends with its $$$$ line: a line that starts with "$$$$",
// whatever follows on it. Splitting works in one of two line-ending modes:
// one for bytes (lines end at LF; a CR is an ordinary byte) and one for str
// (lines end at LF, CRLF or a lone CR).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/base/kind.hpp"
#include "core/block.hpp"
#include "core/text/lines.hpp"

namespace molbrook {

// Where the first block of a complete range ends. For bytes this is the
// LF-only search; for str a $$$$ line may also follow a CR, ends at LF, CRLF or a lone CR, and first_cr tells whether
// the block holds a CR to translate.
BlockEnd find_block_end(std::string_view bytes, Kind kind) noexcept;

// The first block of `rest`, cut where find_block_end put its `end`, as a
// block owning its bytes: translated when it is str holding a CR, else
// copied.
Block cut_block(std::string_view rest, const BlockEnd& end);

// An incremental splitter over a buffer that a source fills a chunk at a
// time, in the bytes mode (str sources translate their line endings before
// the bytes reach it). It hands out one block per call and keeps the
// unfinished tail; at end of input whatever is left becomes a last block.
//
// Each byte is searched for a $$$$ line once, except the last four of a
// chunk (the needle "\n$$$$" may straddle two chunks), and copied once
// more, into its block.
class BlockSplitter {
 public:
  // The next block, or nullopt in `block` at end of input. When the
  // buffered bytes hold no complete block, the buffer is compacted and
  // `read_more(*this)` appends the next chunk (or calls set_eof); it
  // returns false on a source error, which ends the call with false.
  template <class ReadMore>
  bool next_block(ReadMore&& read_more, std::optional<Block>& block) {
    while (!cut(block)) {
      compact();
      if (!read_more(*this)) return false;
    }
    return true;
  }

  // The source side: bytes are appended at the fill offset. prepare()
  // makes room for `size` bytes there, with the spare capacity that
  // in-place newline translation needs, and commit() adopts what was
  // written.
  char* prepare(size_t size);
  void commit(size_t size) noexcept { buffer_.set_size(buffer_.size() + size); }
  // Translates the written bytes (CRLF and lone CR to LF) before adopting
  // them; `pending_cr` carries the stream's state across chunks.
  void commit_translated(size_t size, bool& pending_cr) noexcept;
  void append(std::string_view bytes) { buffer_.append(bytes); }
  void append_translated(std::string_view text, bool& pending_cr);
  void set_eof() noexcept { eof_ = true; }

  // Frees the buffer and returns to the empty state.
  void reset() noexcept;

 private:
  // Cuts the next block out of the buffered bytes (or leaves `block`
  // empty at end of input) and returns true; false when more input is
  // needed first.
  bool cut(std::optional<Block>& block);
  // Copies buffer[start, end) into a block of its own and consumes it.
  Block take(size_t end, std::optional<size_t> term_start);
  // Moves the unconsumed bytes to the front of the buffer.
  void compact() noexcept;

  ByteBuffer buffer_;   // size() is the fill offset
  size_t start_ = 0;    // where the next block begins
  size_t scan_ = 0;     // where the search for a $$$$ line, or for its LF, resumes
  std::optional<size_t> pending_term_;  // a $$$$ line still waiting for its LF
  bool eof_ = false;
};

}  // namespace molbrook
