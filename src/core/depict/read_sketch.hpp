// Reads a block's connection table, V2000 or V3000, into a Sketch.
//
// The counts header and the V3000 sections are read by the connection
// table's own functions (core/ctable), over views of the block's lines, so
// nothing of the block is copied; the atom, bond and property fields that
// only a drawing needs are read here.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "core/ctable/header.hpp"
#include "core/ctable/v3000.hpp"
#include "core/depict/sketch.hpp"

namespace molbrook::depict {

class SketchReader {
 public:
  // Reads the table of a block with this title and MDL. On failure the
  // sketch holds what was read before the error.
  CtabStatus read(std::string_view title, std::string_view mdl, Sketch& sketch);

 private:
  std::vector<std::string_view> lines_;  // the title first, then the MDL lines
  std::vector<std::pair<int64_t, uint32_t>> atom_indices_;  // V3000: index, position
};

// The format readers; `lines` starts with the title, so position p holds
// table line p + 1.
CtabStatus read_v2000(LineViews lines, const CountsHeader& header, Sketch& sketch);
CtabStatus read_v3000(LineViews lines, Sketch& sketch, std::vector<std::pair<int64_t, uint32_t>>& atom_indices);

}  // namespace molbrook::depict
