#include "core/ctable/table.hpp"

#include <algorithm>

#include "core/ctable/v3000.hpp"

namespace molbrook {
namespace {

constexpr size_t kV3000CountsPosition = 5;  // line 6

// Moves `replacement` into the lines of `range`, position for position.
void replace_range(std::vector<std::string>& lines, SectionRange range,
                   std::vector<std::string>& replacement) noexcept {
  std::move(replacement.begin(), replacement.end(), lines.begin() + static_cast<ptrdiff_t>(range.begin));
}

}  // namespace

CtabResult<CTable> CTable::create(std::vector<std::string> lines) {
  std::array<std::string_view, 6> first_lines{};
  const size_t available = std::min(lines.size(), first_lines.size());
  std::copy_n(lines.begin(), available, first_lines.begin());
  CtabResult<CountsHeader> header = parse_counts_header(first_lines, available);
  if (!header) return std::move(header.error());
  return CTable(std::move(lines), *header);
}

CtabStatus CTable::renumber_indices() {
  if (format() != CtabFormat::V3000) return CtabError{CtabError::NotV3000{kRenumbering}};
  CtabResult<V3000Sections> sections = locate_both_sections(lines_, kRenumbering);
  if (!sections) return std::move(sections.error());
  CtabResult<RenumberedLines> renumbered = renumber_lines(lines_, *sections);
  if (!renumbered) return std::move(renumbered.error());
  // Only a change can leave other references pointing at the wrong atoms.
  if (renumbered->changes) {
    if (CtabStatus refused = renumber_refusals(lines_, *sections)) return refused;
  }
  replace_range(lines_, sections->atoms, renumbered->atoms);
  replace_range(lines_, sections->bonds, renumbered->bonds);
  return std::nullopt;
}

CtabStatus CTable::fix_counts() {
  constexpr std::string_view kOperation = "fixing counts";
  if (format() != CtabFormat::V3000) return CtabError{CtabError::NotV3000{kOperation}};
  CtabResult<V3000Sections> sections = locate_both_sections(lines_, kOperation);
  if (!sections) return std::move(sections.error());
  const size_t atoms = count_logical_lines(lines_, sections->atoms);
  const size_t bonds = count_logical_lines(lines_, sections->bonds);
  CtabResult<std::string> counts_line = rewrite_v3000_counts(lines_[kV3000CountsPosition], atoms, bonds);
  if (!counts_line) return std::move(counts_line.error());
  lines_[kV3000CountsPosition] = std::move(*counts_line);
  header_.num_atoms = static_cast<int64_t>(atoms);
  header_.num_bonds = static_cast<int64_t>(bonds);
  return std::nullopt;
}

}  // namespace molbrook
