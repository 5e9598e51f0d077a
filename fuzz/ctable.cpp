// Fuzz target: connection tables, from the counts line to renumbering.
//
// Invariant: for any lines, reading the header, validating either section
// strictly or not, renumbering and fixing counts never crash and leave a
// table unchanged when they fail; a strict pass implies a lenient one;
// renumbering keeps the number of lines and touches only atom and bond
// lines, and renumbering again changes nothing; fixing counts twice gives
// the same table; a table renumbered and then fixed validates strictly.
// For any block bytes, its lines read as Latin-1 or as checked UTF-8 give
// the MDL back byte for byte, and the header read from the first lines
// alone agrees with the header of the whole table. Its depiction, read
// either way, is one svg element of valid UTF-8 whose text holds no byte
// XML forbids and no markup but the drawing's own elements.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/ctable/block_lines.hpp"
#include "core/ctable/table.hpp"
#include "core/ctable/v3000.hpp"
#include "core/depict/depict.hpp"
#include "core/text/lines.hpp"
#include "core/text/utf8.hpp"

namespace molbrook::fuzz {
namespace {

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = next_line_end(text, start);
    lines.emplace_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::vector<std::string> copy_lines(const CTable& table) { return {table.lines().begin(), table.lines().end()}; }

bool has_continued_line(const CTable& table) {
  for (const std::string& line : table.lines()) {
    if (ends_in_dash(line)) return true;
  }
  return false;
}

void check_validation(const CTable& table) {
  for (CtabSection section : {CtabSection::Atom, CtabSection::Bond}) {
    CtabStatus strict = validate_indices(table, section, true);
    CtabStatus lenient = validate_indices(table, section, false);
    if (!strict) FUZZ_CHECK(!lenient);
    if (strict) FUZZ_CHECK(!strict->message().empty());
    if (lenient) FUZZ_CHECK(!lenient->message().empty());
  }
}

void check_repairs(CTable table) {
  const std::vector<std::string> original = copy_lines(table);
  CtabStatus renumbered = table.renumber_indices();
  if (renumbered) {
    FUZZ_CHECK(copy_lines(table) == original);
    FUZZ_CHECK(!renumbered->message().empty());
  } else {
    std::vector<std::string> once = copy_lines(table);
    FUZZ_CHECK(once.size() == original.size());
    FUZZ_CHECK(!table.renumber_indices());
    FUZZ_CHECK(copy_lines(table) == once);
  }
  const int64_t atoms = table.num_atoms();
  const std::vector<std::string> before_fix = copy_lines(table);
  if (CtabStatus fixed = table.fix_counts()) {
    FUZZ_CHECK(copy_lines(table) == before_fix && table.num_atoms() == atoms);
    return;
  }
  const std::vector<std::string> once = copy_lines(table);
  FUZZ_CHECK(!table.fix_counts());
  FUZZ_CHECK(copy_lines(table) == once);
  if (!renumbered && !has_continued_line(table)) {
    FUZZ_CHECK(!validate_indices(table, CtabSection::Atom, true));
    FUZZ_CHECK(!validate_indices(table, CtabSection::Bond, true));
  }
}

void check_table(std::string_view text) {
  CtabResult<CTable> table = CTable::create(split_lines(text));
  if (!table) {
    FUZZ_CHECK(!table.error().message().empty());
    return;
  }
  check_validation(*table);
  check_repairs(std::move(*table));
}

// The MDL of a block, as table lines and back.
void check_block_lines(std::string_view text) {
  BlockEnd end = find_block_end(text);
  Block block = Block::build(ByteBuffer(text.substr(0, end.end)), end.found ? std::optional(end.term_start) : std::nullopt);

  std::vector<std::string> latin1;
  FUZZ_CHECK(!append_block_lines(block, BlockText::Latin1, latin1));
  FUZZ_CHECK(mdl_from_lines(latin1, BlockText::Latin1, kLF) == block.mdl());

  std::vector<std::string> utf8;
  std::optional<InvalidLine> invalid = append_block_lines(block, BlockText::Utf8, utf8);
  if (invalid) {
    FUZZ_CHECK(find_invalid_utf8(invalid->bytes).has_value());
    return;
  }
  FUZZ_CHECK(mdl_from_lines(utf8, BlockText::Utf8, kLF) == block.mdl());
  CtabResult<CountsHeader> from_lines = read_block_counts_header(block);
  CtabResult<CTable> table = CTable::create(std::move(utf8));
  FUZZ_CHECK(static_cast<bool>(from_lines) == static_cast<bool>(table));
  if (table) {
    FUZZ_CHECK(from_lines->format == table->format() && from_lines->num_atoms == table->num_atoms() &&
               from_lines->num_bonds == table->num_bonds());
    FUZZ_CHECK(read_block_format(block) == table->format());
  } else {
    FUZZ_CHECK(from_lines.error().message() == table.error().message());
  }
}

// Every "<" opens one of the elements the drawing writes, so no text of
// the block became markup.
bool only_drawing_markup(std::string_view svg) {
  static constexpr std::string_view kTags[] = {"<svg ", "</svg>", "<rect ", "<g ", "</g>", "<line ", "<polygon ",
                                               "<path ", "<text ", "</text>", "<tspan ", "</tspan>"};
  for (size_t at = svg.find('<'); at != std::string_view::npos; at = svg.find('<', at + 1)) {
    bool known = false;
    for (std::string_view tag : kTags) known = known || svg.substr(at).starts_with(tag);
    if (!known) return false;
  }
  return true;
}

void check_depiction(std::string_view text) {
  static depict::Depicter depicter;
  BlockEnd end = find_block_end(text);
  Block block = Block::build(ByteBuffer(text.substr(0, end.end)), end.found ? std::optional(end.term_start) : std::nullopt);
  std::string svg;
  for (BlockText reading : {BlockText::Latin1, BlockText::Utf8}) {
    depicter.depict(block, reading, {120, 90, true}, svg);
    FUZZ_CHECK(svg.starts_with("<svg ") && svg.ends_with("</svg>"));
    FUZZ_CHECK(!find_invalid_utf8(svg).has_value());
    for (char byte : svg) FUZZ_CHECK(static_cast<unsigned char>(byte) >= 0x20 && byte != 0x7F);
    FUZZ_CHECK(only_drawing_markup(svg));
  }
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  molbrook::fuzz::check_table(text);
  molbrook::fuzz::check_block_lines(text);
  molbrook::fuzz::check_depiction(text);
  return 0;
}
