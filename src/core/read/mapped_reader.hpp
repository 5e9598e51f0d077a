// The batch reader of mapped files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/kind.hpp"
#include "core/block.hpp"
#include "core/platform/file_mapping.hpp"

namespace molbrook {

// Splits a mapped file a batch at a time. Each block is borrowed (a view
// sharing the mapping) when `borrow` is set and its bytes need no change,
// else copied; a str file (a str path) has its line endings found at
// LF, CRLF and lone CR and translated to LF in the copy. Pages well
// behind the reading position go back to the system, unless held.
class MappedReader {
 public:
  // A batch stops at the first block end this far past its start.
  static constexpr size_t kBatchSpan = 131072;
  // Pages are released this far behind the reading position...
  static constexpr size_t kReleaseLag = 1048576;
  // ...in multiples of this.
  static constexpr size_t kReleaseGranule = 65536;

  // Reads the blocks whose first byte lies in [start, end) of the file:
  // from the first block start at or after `start` (found by the first
  // batch) through the block that crosses `end`.
  static constexpr size_t kWholeFile = SIZE_MAX;
  MappedReader(MappingRef mapping, Kind kind, bool borrow, size_t start = 0, size_t end = kWholeFile) noexcept
      : mapping_(std::move(mapping)),
        offset_(start),
        end_(end),
        released_(start / kReleaseGranule * kReleaseGranule),
        kind_(kind),
        borrow_(borrow),
        aligned_(start == 0) {}

  bool has_block() const noexcept { return front_ < queue_.size(); }
  // The front of the queue.
  Block pop() noexcept { return std::move(queue_[front_++]); }

  // Refills the queue with the next batch; it stays empty only at the end
  // of the file. Touches no Python object: runs without the interpreter
  // lock.
  void next_batch();

  size_t offset() const noexcept { return offset_; }
  const MappingRef& mapping() const noexcept { return mapping_; }

  // Keeps the pages read mapped from now on, for a caller that reads the
  // blocks again (a sort) and would otherwise fault them in twice.
  void hold_pages() noexcept { hold_pages_ = true; }
  size_t released() const noexcept { return released_; }

 private:
  // Queues the first block of `rest`, which starts at offset_, and
  // returns its length.
  size_t queue_block(std::string_view rest);
  void release_consumed_pages() noexcept;

  MappingRef mapping_;
  std::vector<Block> queue_;  // reused from batch to batch
  size_t front_ = 0;          // next block of the queue to hand out
  size_t offset_;             // where the next block starts
  size_t end_;                // no block starts at or past this
  size_t released_;           // pages below this went back to the system
  Kind kind_;
  bool borrow_;
  bool aligned_;  // offset_ is a block start
  bool hold_pages_ = false;
};

}  // namespace molbrook
