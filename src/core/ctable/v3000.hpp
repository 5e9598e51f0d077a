// V3000 tables: the sections of the root CTAB, continued lines, index
// fields, index validation and the per-line work of renumbering.
//
// The root CTAB is every line before the first "M  V30 END CTAB" line;
// CTABs after it (RGROUP members, templates) are not looked into. Its ATOM
// and BOND sections are the lines strictly between their BEGIN and END
// lines. A line ending in "-" continues onto the next one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/ctable/header.hpp"
#include "core/ctable/table.hpp"

namespace molbrook {

// True when `line` starts with `keyword`, ASCII letters compared without
// case; what follows the keyword does not matter.
bool begins_with_keyword(std::string_view line, std::string_view keyword) noexcept;

// True when the line, without the CRs and LFs at its end, ends in "-".
bool ends_in_dash(std::string_view line) noexcept;

// A section body: 0-based line positions [begin, end); [0, 0) when absent.
struct SectionRange {
  size_t begin = 0;
  size_t end = 0;

  size_t size() const noexcept { return end - begin; }
  bool contains(size_t position) const noexcept { return position >= begin && position < end; }
};

// Table lines as views into text kept elsewhere, for readers that copy
// none of it (the depiction reads a block's own bytes).
using LineViews = std::span<const std::string_view>;

CtabResult<SectionRange> locate_section(TableLines lines, CtabSection section);
CtabResult<SectionRange> locate_section(LineViews lines, CtabSection section);

struct V3000Sections {
  SectionRange atoms;
  SectionRange bonds;
};

// Both sections, for operations that refuse nested CTABs; `operation`
// names the caller in the refusal.
CtabResult<V3000Sections> locate_both_sections(TableLines lines, std::string_view operation);

// One atom or bond line: a physical line, or several joined because each
// but the last ends in "-". `number` is the line number of the first.
struct LogicalLine {
  size_t number = 0;
  std::string_view text;
};

// The logical lines of a section body. A single line is read in place; a
// joined one is built in a buffer reused from item to item, so an item's
// text lives until the next call.
template <class Lines>
class BasicLogicalLines {
 public:
  BasicLogicalLines(Lines lines, SectionRange range) noexcept
      : lines_(lines), position_(range.begin), end_(range.end) {}

  bool next(LogicalLine& line);

 private:
  Lines lines_;
  size_t position_;
  size_t end_;
  std::string joined_;
};

using LogicalLines = BasicLogicalLines<TableLines>;
using LogicalLineViews = BasicLogicalLines<LineViews>;

size_t count_logical_lines(TableLines lines, SectionRange range);

// The index token of an atom or bond line: its third White_Space-separated
// piece (after "M" and "V30", which are not checked).
CtabResult<std::string_view> index_field(std::string_view text, size_t line, CtabSection section);

// Checks that every logical line of the section has an integer index, no
// index repeats, the line count equals the declared one and, if `strict`,
// the indices run 1, 2, 3, ... in line order. The first failure is reported.
CtabStatus validate_indices(const CTable& table, CtabSection section, bool strict);

// Names renumbering in its errors.
inline constexpr std::string_view kRenumbering = "renumbering";

// The atom and bond lines of a table renumbered 1, 2, 3, ..., built aside.
struct RenumberedLines {
  std::vector<std::string> atoms;
  std::vector<std::string> bonds;
  bool changes = false;  // some index differed from its position
};

// Renumbers the sections' lines, mapping the bonds' atom references
// through the old-to-new atom map. Refuses continued lines; fails for a
// bond atom that no atom line has, or that several have.
CtabResult<RenumberedLines> renumber_lines(TableLines lines, V3000Sections sections);

// Refuses tables in which other data refers to atom or bond indices, which
// renumbering would leave pointing at the wrong atoms.
CtabStatus renumber_refusals(TableLines lines, V3000Sections sections);

}  // namespace molbrook
