#include "core/text/lines.hpp"

namespace molbrook {

std::string_view first_line_ending(std::string_view bytes) noexcept {
  size_t lf = find_byte(bytes, '\n');
  if (lf == npos) return !bytes.empty() && bytes.back() == '\r' ? kCRLF : kLF;
  return lf > 0 && bytes[lf - 1] == '\r' ? kCRLF : kLF;
}

BlockEnd find_block_end(std::string_view bytes) noexcept {
  const size_t n = bytes.size();
  size_t term_start;
  if (bytes.starts_with(kDollars)) {
    term_start = 0;
  } else {
    size_t hit = find(bytes, kNewlineDollars);
    if (hit == npos) return {false, 0, n, n};
    term_start = hit + 1;
  }
  size_t end = next_line_end(bytes, term_start);
  return {true, term_start, end, end};
}

size_t last_line_start(std::string_view text) noexcept {
  const size_t lf = find_last_byte(text.substr(0, text.ends_with('\n') ? text.size() - 1 : text.size()), '\n');
  return lf == npos ? 0 : lf + 1;
}

BlockEnd last_block_end(std::string_view block) noexcept {
  const size_t n = block.size();
  const size_t last_line = last_line_start(block);
  if (!block.substr(last_line).starts_with(kDollars)) return {false, 0, n, n};
  return {true, last_line, n, n};
}

}  // namespace molbrook
