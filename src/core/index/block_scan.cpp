#include "core/index/block_scan.hpp"

#include <optional>

#include "core/read/range.hpp"
#include "core/read/splitter.hpp"
#include "core/text/search.hpp"

namespace molbrook {

BlockEnd BlockScanner::whole_block_end(std::string_view block_rest, const BlockEnd& from_search) const noexcept {
  const size_t searched = static_cast<size_t>(search_from_ - next_start_);
  BlockEnd end = from_search;
  end.term_start += searched;
  end.end += searched;
  end.first_cr = end.end;
  if (kind_ == Kind::Str) {
    size_t cr = find_byte(block_rest.substr(0, end.end), '\r');
    if (cr != npos) end.first_cr = cr;
  }
  return end;
}

void BlockScanner::resume_at_last_line(std::string_view rest, const BlockEnd& end) noexcept {
  if (end.found) {
    search_from_ += end.term_start;
    return;
  }
  std::optional<size_t> line = line_start_at_end(rest, kind_);
  if (line) search_from_ += *line;
}

}  // namespace molbrook
