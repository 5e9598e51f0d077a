#include "core/lint/ctab_checks.hpp"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "core/ctable/block_lines.hpp"
#include "core/ctable/table.hpp"
#include "core/ctable/unicode.hpp"
#include "core/ctable/v3000.hpp"
#include "core/lint/line_counter.hpp"
#include "core/lint/line_length.hpp"
#include "core/text/lines.hpp"
#include "core/text/search.hpp"
#include "core/text/strip.hpp"
#include "core/text/utf8.hpp"

namespace molbrook::lint {
namespace {

constexpr size_t kCountsLine = 4;
constexpr size_t kV3000CountsLine = 6;
// Counts past this are taken as they are written, never as a line number.
constexpr int64_t kMaxCount = 1 << 30;

// The content of the line that starts at `start`.
std::string_view line_at(std::string_view bytes, size_t start) noexcept {
  return line_content(bytes.substr(start, next_line_end(bytes, start) - start));
}

bool is_property_line(std::string_view line) noexcept {
  for (std::string_view prefix : {"M  ", "A  ", "V  ", "G  ", "S  "}) {
    if (line.starts_with(prefix)) return true;
  }
  return false;
}

void check_missing_m_end(const ScannedBlock& block, BlockReport& report) {
  std::string_view after_title = block.body().substr(block.title_end);
  if (!report.wants(Code::M001) || is_blank(after_title)) return;
  report.add({.code = Code::M001, .offset = 0, .length = line_content(block.bytes.substr(0, block.title_end)).size()});
}

// The starts of the block's lines, the title's first, through the MDL.
std::vector<size_t> mdl_line_starts(const ScannedBlock& block) {
  std::vector<size_t> starts{0};
  LineScanner lines(block.bytes.substr(0, block.mdl_end), block.title_end);
  for (Line line; lines.next(line);) starts.push_back(line.start);
  return starts;
}

// Edits that turn the table lines `before` into `after` (equally many),
// line by line; a line's LF stays, its CR is part of its text.
void add_line_edits(const ScannedBlock& block, BlockReport& report, size_t finding, BlockText text,
                    const std::vector<size_t>& starts, TableLines before, TableLines after) {
  for (size_t i = 1; i < before.size() && i < starts.size(); ++i) {
    if (before[i] == after[i]) continue;
    size_t end = next_line_end(block.bytes, starts[i]);
    if (block.bytes.substr(0, end).ends_with('\n')) --end;
    std::string bytes;
    if (text == BlockText::Latin1) {
      append_utf8_as_latin1(bytes, after[i]);
    } else {
      bytes = after[i];
    }
    report.add_edit(finding, starts[i], end, bytes);
  }
}

struct V3000Check {
  const ScannedBlock& block;
  BlockReport& report;
  BlockText text;
  const CTable& table;
  std::vector<size_t> starts;

  Finding at_line(size_t number, uint8_t detail) const {
    size_t start = number - 1 < starts.size() ? starts[number - 1] : 0;
    std::string_view line = line_content(block.bytes.substr(start, next_line_end(block.bytes, start) - start));
    return {.code = Code::M003, .detail = detail, .offset = start, .length = line.size()};
  }

  // COUNTS against the lines of the ATOM and BOND sections: fix_counts()
  // mends it, as a safe fix.
  void check_counts() {
    CtabResult<SectionRange> atoms = locate_section(table.lines(), CtabSection::Atom);
    CtabResult<SectionRange> bonds = locate_section(table.lines(), CtabSection::Bond);
    if (!atoms || !bonds) return;
    const size_t found_atoms = count_logical_lines(table.lines(), *atoms);
    const size_t found_bonds = count_logical_lines(table.lines(), *bonds);
    if (std::cmp_equal(found_atoms, table.num_atoms()) && std::cmp_equal(found_bonds, table.num_bonds())) return;
    Finding finding = at_line(kV3000CountsLine, 0);
    finding.numbers = {table.num_atoms(), table.num_bonds(), static_cast<int64_t>(found_atoms),
                       static_cast<int64_t>(found_bonds)};
    CTable mended = table;
    const bool mends = !mended.fix_counts();
    finding.fix = mends ? FixKind::Safe : FixKind::None;
    size_t index = report.add(finding);
    if (mends && report.wants_edits(index)) add_line_edits(block, report, index, text, starts, table.lines(), mended.lines());
  }

  // Indices that do not run 1, 2, 3, ...: renumber_indices() mends them,
  // as an unsafe fix (bond atoms and other readers' views change).
  void check_indices() {
    for (CtabSection section : {CtabSection::Atom, CtabSection::Bond}) {
      CtabStatus error = validate_indices(table, section, /*strict=*/true);
      const auto* order = error ? std::get_if<CtabError::OutOfOrder>(&error->value) : nullptr;
      if (order == nullptr) continue;
      Finding finding = at_line(order->line, 1 + static_cast<uint8_t>(section));
      finding.numbers = {order->index, 0, 0, 0};
      CTable mended = table;
      const bool mends = !mended.renumber_indices();
      finding.fix = mends ? FixKind::Unsafe : FixKind::None;
      size_t index = report.add(finding);
      if (mends && report.wants_edits(index)) add_line_edits(block, report, index, text, starts, table.lines(), mended.lines());
      return;  // one renumbering mends both sections
    }
  }
};

void check_v3000(const ScannedBlock& block, BlockReport& report, std::optional<bool> molfile_utf8) {
  std::string_view title = rstrip(block.bytes.substr(0, block.title_end));
  std::string_view mdl = block.bytes.substr(block.title_end, block.mdl_end - block.title_end);
  // Invalid UTF-8 (F005's business) is read as Latin-1, as a bytes block's.
  if (!molfile_utf8) molfile_utf8 = !find_invalid_utf8(block.bytes.substr(0, block.mdl_end));
  const BlockText text = *molfile_utf8 ? BlockText::ValidUtf8 : BlockText::Latin1;
  std::vector<std::string> lines;
  if (append_table_lines(title, mdl, text, lines)) return;
  CtabResult<CTable> table = CTable::create(std::move(lines));
  if (!table) return;
  V3000Check check{block, report, text, *table, mdl_line_starts(block)};
  check.check_counts();
  check.check_indices();
}

// I001 for each line from the counts line on longer than the limit.
void check_long_lines(std::string_view bytes, size_t title_end, BlockReport& report) {
  LineScanner lines(bytes, skip_lines(bytes, title_end, kCountsLine - 2));
  for (Line line; lines.next(line);) {
    std::string_view content = line_content(bytes.substr(line.start, line.end - line.start));
    if (size_t characters = characters_over_limit(content)) {
      report.add({.code = Code::I001, .offset = line.start, .length = content.size(),
                  .numbers = {static_cast<int64_t>(characters), 0, 0, 0}});
    }
  }
}

// The line after the atom and bond lines that a V2000 counts line
// declares: M  END or a property line; 0 when the counts do not say.
size_t line_after_bonds(const CtabResult<CountsHeader>& header) noexcept {
  if (!header || header->format != CtabFormat::V2000) return 0;
  if (header->num_atoms < 0 || header->num_bonds < 0 || header->num_atoms > kMaxCount ||
      header->num_bonds > kMaxCount) {
    return 0;
  }
  return kCountsLine + static_cast<size_t>(header->num_atoms + header->num_bonds) + 1;
}

// Where line `line` starts (the title is line 1, and line 2 starts at
// `title_end`), `line` before the line `last` that starts at `last_start`:
// counted back from there when that is nearer, as it is for the few
// property lines that part the bonds from M  END in most blocks.
size_t line_start(std::string_view bytes, size_t title_end, size_t line, size_t last_start, size_t last) noexcept {
  if (last - line >= line - 2) return skip_lines(bytes, title_end, line - 2);
  size_t start = last_start;
  for (size_t back = last - line; back != 0; --back) start = find_last_byte(bytes.substr(0, start - 1), '\n') + 1;
  return start;
}

}  // namespace

void check_molfile(const ScannedBlock& block, BlockReport& report, LineCounter& counter,
                   std::optional<bool> molfile_utf8) {
  if (!block.has_m_end) return check_missing_m_end(block, report);
  std::string_view mdl = block.bytes.substr(block.title_end, block.mdl_end - block.title_end);
  CtabResult<CountsHeader> header = read_counts_header(mdl);
  if (header && header->format == CtabFormat::V3000 && report.wants(Code::M003)) check_v3000(block, report, molfile_utf8);
  const size_t expected = report.wants(Code::M002) ? line_after_bonds(header) : 0;

  // The lines from the title's end through M  END, the MDL's last line,
  // as the counter passes them; long ones are looked for only when there.
  std::string_view bytes = block.bytes.substr(0, block.mdl_end);
  counter.advance(block.offset + block.title_end);
  const size_t title_lines = counter.lfs_passed();
  counter.advance(block.offset + block.mdl_end);
  const bool open_line = !bytes.ends_with('\n');  // M  END at the end of the input
  const bool long_line = counter.long_line_since(block.offset + block.title_end) ||
                         (open_line && counter.bytes_since_lf() > kMaxLineCharacters);
  if (long_line && report.wants(Code::I001)) check_long_lines(bytes, block.title_end, report);
  const size_t m_end_line = 1 + counter.lfs_passed() - title_lines + open_line;
  if (expected == 0 || expected == m_end_line) return;
  const size_t m_end = last_line_start(bytes);
  std::string_view after_bonds;
  if (expected < m_end_line) {
    after_bonds = line_at(bytes, line_start(bytes, block.title_end, expected, m_end, m_end_line));
    if (is_property_line(after_bonds)) return;
  }
  const size_t counts = skip_lines(bytes, block.title_end, kCountsLine - 2);
  report.add({.code = Code::M002, .detail = static_cast<uint8_t>(expected < m_end_line), .offset = counts,
              .length = line_at(bytes, counts).size(), .related = m_end, .text = after_bonds,
              .numbers = {header->num_atoms, header->num_bonds, 0, 0}});
}

}  // namespace molbrook::lint
