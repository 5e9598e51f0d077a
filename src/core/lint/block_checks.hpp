// Every check that looks at one block alone, and the checks of the file's
// start and end that its first and last blocks carry.
#pragma once

#include <vector>

#include "core/lint/block_report.hpp"
#include "core/lint/data_checks.hpp"
#include "core/lint/line_counter.hpp"

namespace molbrook::lint {

// F004 on the file's first block; F005; the molfile and SD data checks;
// F001 or F002 on a last block without $$$$. `names` is scratch space;
// `counter`, at the block's start, is moved on through its MDL.
void check_block(const ScannedBlock& block, BlockReport& report, std::vector<SeenName>& names,
                 LineCounter& counter, bool file_start);

}  // namespace molbrook::lint
