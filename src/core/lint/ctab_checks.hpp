// The checks of a block's molfile part: M  END (M001), the V2000 counts
// (M002), the V3000 counts and indices (M003) and long CTAB lines (I001).
#pragma once

#include "core/lint/block_report.hpp"
#include "core/lint/line_counter.hpp"

namespace molbrook::lint {

// `counter`, at the block's start, counts the MDL's lines on its way
// through it.
void check_molfile(const ScannedBlock& block, BlockReport& report, LineCounter& counter);

}  // namespace molbrook::lint
