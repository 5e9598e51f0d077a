// The checks of a block's molfile part: M  END (M001), the V2000 counts
// (M002), the V3000 counts and indices (M003) and long CTAB lines (I001).
#pragma once

#include <optional>

#include "core/lint/block_report.hpp"
#include "core/lint/line_counter.hpp"

namespace molbrook::lint {

// `counter`, at the block's start, counts the MDL's lines on its way
// through it. `molfile_utf8`: whether the bytes up to mdl_end are valid
// UTF-8, when already known.
void check_molfile(const ScannedBlock& block, BlockReport& report, LineCounter& counter,
                   std::optional<bool> molfile_utf8);

}  // namespace molbrook::lint
