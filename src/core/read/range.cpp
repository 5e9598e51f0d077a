#include "core/read/range.hpp"

#include <algorithm>

#include "core/read/splitter.hpp"

namespace molbrook {

std::optional<size_t> line_start_at_end(std::string_view head, Kind kind) noexcept {
  if (head.empty()) return std::nullopt;
  size_t last = head.size() - 1;
  const bool str = kind == Kind::Str;
  if (str && head[last] == '\n') {
    if (last == 0) return std::nullopt;  // its CR may lie before `head`
    if (head[last - 1] == '\r') --last;
  }
  std::string_view before = head.substr(0, last);
  size_t ending = str ? before.find_last_of("\r\n") : before.rfind('\n');
  if (ending == std::string_view::npos) return std::nullopt;
  return ending + 1;
}

size_t first_block_start(std::string_view file, size_t start, Kind kind) noexcept {
  if (start == 0 || start >= file.size()) return std::min(start, file.size());
  size_t line = line_start_at_end(file.substr(0, start), kind).value_or(0);
  BlockEnd end = find_block_end(file.substr(line), kind);
  return end.found ? line + end.end : file.size();
}

}  // namespace molbrook
