// The checks of a block's molfile part: M  END (M001), the V2000 counts
// (M002), the V3000 counts and indices (M003) and long CTAB lines (I001).
#pragma once

#include "core/lint/block_report.hpp"

namespace molbrook::lint {

void check_molfile(const ScannedBlock& block, BlockReport& report);

}  // namespace molbrook::lint
