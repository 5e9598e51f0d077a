// CTable: a connection table's lines exactly as supplied, with the format
// and counts its header declares.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/ctable/header.hpp"

namespace molbrook {

using TableLines = std::span<const std::string>;

class CTable {
 public:
  // Takes over `lines` (owned UTF-8, one per line, title first, each with
  // or without its line ending) and reads their header. Construction reads
  // nothing else, so the declared counts may differ from the lines present.
  static CtabResult<CTable> create(std::vector<std::string> lines);

  TableLines lines() const noexcept { return lines_; }
  CtabFormat format() const noexcept { return header_.format; }
  int64_t num_atoms() const noexcept { return header_.num_atoms; }
  int64_t num_bonds() const noexcept { return header_.num_bonds; }

  // V3000 repairs. Both build their new lines aside and swap them in only
  // when every check has passed, so a failure leaves the table unchanged;
  // neither adds or removes lines.

  // Gives the atom and bond lines the indices 1, 2, 3, ... in line order
  // and maps the bonds' atom references along. The counts stay.
  CtabStatus renumber_indices();
  // Sets the counts on line 6 to the numbers of atom and bond lines.
  CtabStatus fix_counts();

 private:
  CTable(std::vector<std::string> lines, CountsHeader header) noexcept
      : lines_(std::move(lines)), header_(header) {}

  std::vector<std::string> lines_;
  CountsHeader header_;
};

}  // namespace molbrook
