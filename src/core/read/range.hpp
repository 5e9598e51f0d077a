// Finding where blocks start from an arbitrary offset, so that a byte
// range of a file reads as the blocks whose first byte lies in it.
//
// A block starts at offset 0 and just past every $$$$ line, so whether an
// offset starts one depends only on the line before it: the first block
// start at or after `start` ends the first $$$$ line that begins at or
// after the start of the line holding byte start - 1.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/base/kind.hpp"

namespace molbrook {

// Where the line holding the last byte of `head` begins, as an offset into
// `head`; an LF that completes a CRLF belongs to the CR's line in str.
// nullopt when `head` holds no earlier line ending: the line begins before
// `head`, or at its start if `head` starts the file.
std::optional<size_t> line_start_at_end(std::string_view head, Kind kind) noexcept;

// The first block start at or after `start` in a whole file, or
// file.size() when no block starts there. Reads from the line before
// `start` to the end of the block holding it.
size_t first_block_start(std::string_view file, size_t start, Kind kind) noexcept;

}  // namespace molbrook
