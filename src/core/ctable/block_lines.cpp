#include "core/ctable/block_lines.hpp"

#include <algorithm>
#include <array>

#include "core/text/lines.hpp"

namespace molbrook {
namespace {

// The header needs lines 2 to 6 of the table: the first five MDL lines.
constexpr size_t kHeaderMdlLines = 5;

// Calls visit(line) for each MDL line, without its LF, while it returns true.
template <class Visit>
void for_each_mdl_line(std::string_view mdl, Visit visit) {
  LineScanner scanner(mdl);
  for (Line line; scanner.next(line);) {
    std::string_view text = mdl.substr(line.start, line.end - line.start);
    if (text.ends_with('\n')) text.remove_suffix(1);
    if (!visit(text)) return;
  }
}

std::optional<InvalidLine> append_line(std::vector<std::string>& lines, std::string_view bytes, BlockText text) {
  if (text == BlockText::Latin1) {
    std::string line;
    append_latin1_as_utf8(line, bytes);
    lines.push_back(std::move(line));
    return std::nullopt;
  }
  if (text == BlockText::Utf8) {
    if (std::optional<Utf8Error> error = find_invalid_utf8(bytes)) return InvalidLine{bytes, *error};
  }
  lines.emplace_back(bytes);
  return std::nullopt;
}

// The line as UTF-8: the bytes themselves when valid, else a copy in
// `storage` with invalid sequences replaced.
std::string_view lossy_utf8(std::string_view bytes, std::string& storage) {
  if (!find_invalid_utf8(bytes)) return bytes;
  append_utf8_lossy(storage, bytes);
  return storage;
}

std::string_view missing_line_ending(std::string_view line, std::string_view line_ending) noexcept {
  if (line.ends_with('\n')) return {};
  return line.ends_with('\r') ? kLF : line_ending;
}

}  // namespace

Status<InvalidLine> append_block_lines(const Block& block, BlockText text, std::vector<std::string>& lines) {
  return append_table_lines(block.title(), block.mdl(), text, lines);
}

Status<InvalidLine> append_table_lines(std::string_view title, std::string_view mdl, BlockText text,
                                       std::vector<std::string>& lines) {
  lines.reserve(lines.size() + 2 + static_cast<size_t>(std::count(mdl.begin(), mdl.end(), '\n')));
  std::optional<InvalidLine> invalid = append_line(lines, title, text);
  if (invalid) return invalid;
  for_each_mdl_line(mdl, [&](std::string_view line) {
    invalid = append_line(lines, line, text);
    return !invalid;
  });
  return invalid;
}

CtabResult<CountsHeader> read_block_counts_header(const Block& block) { return read_counts_header(block.mdl()); }

CtabResult<CountsHeader> read_counts_header(std::string_view mdl) {
  std::array<std::string_view, 6> first_lines{};  // line 1, the title, is not read
  std::array<std::string, kHeaderMdlLines> repaired;
  size_t taken = 0;
  for_each_mdl_line(mdl, [&](std::string_view line) {
    first_lines[taken + 1] = lossy_utf8(line, repaired[taken]);
    return ++taken < kHeaderMdlLines;
  });
  return parse_counts_header(first_lines, 1 + taken);
}

// Replacing invalid sequences could not change the result: separators are
// ASCII, which no replacement swallows, and a token holding U+FFFD or an
// invalid byte names no format either way.
std::optional<CtabFormat> read_block_format(const Block& block) {
  std::string_view ctab = block.ctab();
  return counts_line_format(ctab.substr(0, next_line_end(ctab, 0)));
}

std::string mdl_from_lines(TableLines lines, BlockText text, std::string_view line_ending) {
  TableLines written = lines.subspan(1);  // the block keeps its own title line
  size_t size = 0;
  for (const std::string& line : written) size += line.size() + line_ending.size();
  std::string mdl;
  mdl.reserve(size);
  for (const std::string& line : written) {
    if (text == BlockText::Latin1) {
      append_utf8_as_latin1(mdl, line);
    } else {
      mdl.append(line);
    }
    mdl.append(missing_line_ending(line, line_ending));
  }
  return mdl;
}

}  // namespace molbrook
