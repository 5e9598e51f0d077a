// A block's connection table as text lines: the lines a CTable is built
// from, the header read from the first lines alone, and the MDL bytes
// written back from a table's lines.
//
// Line 1 is the block's title without trailing whitespace; the MDL lines
// follow, each without its LF (a CR before the LF stays).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/block.hpp"
#include "core/ctable/header.hpp"
#include "core/ctable/table.hpp"
#include "core/ctable/unicode.hpp"

namespace molbrook {

// How a block's bytes become table text. A str block's bytes should be
// UTF-8 and are checked unless already known to be valid; a bytes block's
// are read as Latin-1, so every byte survives the round trip.
enum class BlockText { Utf8, ValidUtf8, Latin1 };

// A title or line of a str block that is not valid UTF-8: the error of
// append_block_lines.
struct InvalidLine {
  std::string_view bytes;
  Utf8Error error;
};

// Appends the block's title and MDL lines to `lines`. Stops at the first
// line that is not UTF-8 (title first) and returns it.
Status<InvalidLine> append_block_lines(const Block& block, BlockText text, std::vector<std::string>& lines);
// The same from a title (without trailing whitespace) and MDL text.
Status<InvalidLine> append_table_lines(std::string_view title, std::string_view mdl, BlockText text,
                                       std::vector<std::string>& lines);

// The declared format and counts, read from the first five MDL lines
// only, each decoded as UTF-8 with invalid sequences replaced, so a block
// whose later lines do not decode still has counts. Line numbers in errors
// are those of the full table.
CtabResult<CountsHeader> read_block_counts_header(const Block& block);
// The same from the MDL text of a block.
CtabResult<CountsHeader> read_counts_header(std::string_view mdl);

// The format named by the block's counts line, if any.
std::optional<CtabFormat> read_block_format(const Block& block);

// The MDL text for a table's lines 2 to the end, each line given the
// ending it lacks: a line ending in LF gets none, one ending in CR an LF,
// any other `line_ending`. Latin-1 text is encoded back to its bytes.
std::string mdl_from_lines(TableLines lines, BlockText text, std::string_view line_ending);

}  // namespace molbrook
