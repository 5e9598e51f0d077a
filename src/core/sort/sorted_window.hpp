// Sorted blocks gathered for writing, a window at a time. The bytes of a
// block kept with its keys are copied in as it comes; a block kept by
// reference gets its place, to be read from its source once the window is
// gathered, the placements of each source in file order so that every
// source is read forwards once per window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/base/result.hpp"
#include "core/platform/file.hpp"
#include "core/sort/sort_job.hpp"

namespace molbrook {

// A block of the window: where its bytes start in the buffer, how many
// there are, and where it came from.
struct GatheredBlock {
  size_t at = 0;
  size_t length = 0;
  BlockOrigin origin;
};

// A block to read into the window from its source at `offset`.
struct Placement {
  uint32_t source;
  uint64_t offset;
  uint64_t ordinal;
  size_t at;
  size_t length;
};

class SortedWindow {
 public:
  // Appends the next sorted blocks (or with `duplicates` those set aside)
  // to `out`, the window, until `capacity` bytes were added or none are
  // left; at least one when any is. False when none was left.
  Result<bool, RunError> gather(SortJob& job, bool duplicates, ByteBuffer& out, size_t capacity);

  // The window's blocks, in the order they are written.
  std::span<const GatheredBlock> blocks() const noexcept { return blocks_; }
  // The blocks to read, by source and offset.
  std::span<const Placement> placements() const noexcept { return placements_; }
  // Those of `source`.
  std::span<const Placement> placements_of(uint32_t source) const noexcept;

 private:
  std::vector<GatheredBlock> blocks_;
  std::vector<Placement> placements_;
};

// Whether `bytes`, read back where a block was found whole, still end as
// that block did: with a bare $$$$ line (the reader kept by reference only
// blocks that did).
bool ends_as_found(std::string_view bytes) noexcept;

// Copies placed blocks out of `data`, the mapped file they are slices of,
// into `out`; false when one no longer lies inside it.
bool copy_placed(std::span<const Placement> placements, std::string_view data, char* out) noexcept;

// Reads placed blocks from `file` at their offsets into `out`, with one
// positional read for each run of blocks that follow one another both in
// the file and in `out` (a source already nearly in the sort's order);
// the error of a failed read, or false in the result when the file ends
// before a block does.
Result<bool, platform::SystemError> read_placed(std::span<const Placement> placements, const platform::File& file,
                                                char* out) noexcept;

}  // namespace molbrook
