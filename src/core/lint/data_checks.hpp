// The checks of a block's SD data: blank lines after M  END (D001),
// records ended by whitespace (D002), headers inside values (D003), a
// last record without its empty line (D004), malformed headers (D005),
// repeated names (D006), text outside records (D007), long header lines
// (I001) and values with outer spaces (I002).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/lint/block_report.hpp"

namespace molbrook::lint {

// A record name and where its header starts, for D006.
struct SeenName {
  std::string_view name;
  size_t header;
};

// Checks the SD data of a block with an M  END line. Returns true when
// its last record runs to the end of a block without a $$$$ line, which
// the fix of F001 then closes with an empty line. `names` is scratch
// space, reused from block to block.
bool check_sd_data(const ScannedBlock& block, BlockReport& report, std::vector<SeenName>& names);

}  // namespace molbrook::lint
