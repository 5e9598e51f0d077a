#include "core/read/splitter.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/text/newline.hpp"
#include "core/text/search.hpp"

namespace molbrook {
namespace {

bool ends_str_line(char byte) noexcept { return byte == '\n' || byte == '\r'; }

// The first "$$$$" at the start of the range or just after an LF or CR.
// Inside a run of '$' only the first can start a line, so a run that does
// not is passed over whole rather than searched again at every byte.
size_t find_str_terminator(std::string_view bytes) noexcept {
  if (bytes.starts_with(kDollars)) return 0;
  for (size_t from = 1;;) {
    size_t hit = find(bytes, {kDollars, 0}, from);
    if (hit == npos || ends_str_line(bytes[hit - 1])) return hit;
    for (from = hit + kDollars.size(); from < bytes.size() && bytes[from] == '$';) ++from;
  }
}

// Offset just past the line ending (LF, CRLF or lone CR) of the line
// holding `from`, or bytes.size() when the line has none. Reads only that
// line, as every block's search must: a file without LFs has all of its
// blocks ahead of each $$$$ line.
size_t str_line_end(std::string_view bytes, size_t from) noexcept {
  size_t ending = find_line_break(bytes, from);
  if (ending == npos) return bytes.size();
  return bytes[ending] == '\r' && ending + 1 < bytes.size() && bytes[ending + 1] == '\n' ? ending + 2 : ending + 1;
}

}  // namespace

BlockEnd find_block_end(std::string_view bytes, Kind kind) noexcept {
  if (kind == Kind::Bytes) return find_block_end(bytes);
  size_t term_start = find_str_terminator(bytes);
  bool found = term_start != npos;
  size_t end = found ? str_line_end(bytes, term_start) : bytes.size();
  size_t first_cr = find_byte(bytes.substr(0, end), '\r');
  return {found, found ? term_start : 0, end, first_cr == npos ? end : first_cr};
}

Block cut_block(std::string_view rest, const BlockEnd& end) {
  std::string_view bytes = rest.substr(0, end.end);
  std::optional<size_t> term_start = end.found ? std::optional(end.term_start) : std::nullopt;
  if (end.first_cr != end.end) {
    // A str block: the copy reads as text, CRLF and lone CR as LF.
    ByteBuffer text = translate_copy(bytes, end.first_cr);
    if (term_start) term_start = last_line_start(text.view());  // its $$$$ line
    return Block::build(std::move(text), term_start);
  }
  if (term_start) {
    if (std::optional<Block> unchanged = Block::copy_unchanged(bytes, *term_start)) return std::move(*unchanged);
  }
  return Block::build(ByteBuffer(bytes), term_start);
}

char* BlockSplitter::prepare(size_t size) {
  buffer_.reserve_extra(size + kTranslateSpare);
  return buffer_.data() + buffer_.size();
}

void BlockSplitter::commit_translated(size_t size, bool& pending_cr) noexcept {
  char* at = buffer_.data() + buffer_.size();
  commit(translate_chunk(at, buffer_.capacity() - buffer_.size(), size, pending_cr));
}

void BlockSplitter::append_translated(std::string_view text, bool& pending_cr) {
  if (text.empty()) return;
  std::memcpy(prepare(text.size()), text.data(), text.size());
  commit_translated(text.size(), pending_cr);
}

void BlockSplitter::reset() noexcept { *this = BlockSplitter(); }

bool BlockSplitter::cut(std::optional<Block>& block) {
  std::string_view data = buffer_.view();
  const size_t filled = data.size();
  if (filled == start_) return eof_;
  // A $$$$ line at the very start cannot be recognised from fewer bytes.
  if (filled - start_ < kDollars.size() && !eof_) return false;

  if (!pending_term_) {
    if (data.substr(start_).starts_with(kDollars)) {
      pending_term_ = start_;
    } else if (size_t hit = find(data, kNewlineDollars, scan_); hit != npos) {
      pending_term_ = hit + 1;
    } else if (!eof_) {
      // The needle may straddle this chunk and the next: search the last
      // four bytes again.
      scan_ = filled - (kNewlineDollars.bytes.size() - 1);
      return false;
    } else {
      block = take(filled, std::nullopt);
      return true;
    }
  }

  // Bytes of the $$$$ line already searched hold no LF: search only what
  // arrived since, so that a long $$$$ line costs one pass, not one per
  // chunk.
  size_t lf = find_byte(data, '\n', std::max(*pending_term_, scan_));
  if (lf == npos && !eof_) {
    scan_ = filled;
    return false;
  }
  block = take(lf == npos ? filled : lf + 1, *pending_term_ - start_);
  return true;
}

Block BlockSplitter::take(size_t end, std::optional<size_t> term_start) {
  ByteBuffer bytes(buffer_.view().substr(start_, end - start_));
  start_ = scan_ = end;
  pending_term_.reset();
  return Block::build(std::move(bytes), term_start);
}

void BlockSplitter::compact() noexcept {
  if (start_ == 0) return;
  size_t rest = buffer_.size() - start_;
  std::memmove(buffer_.data(), buffer_.data() + start_, rest);
  buffer_.set_size(rest);
  scan_ -= start_;
  if (pending_term_) *pending_term_ -= start_;
  start_ = 0;
}

}  // namespace molbrook
