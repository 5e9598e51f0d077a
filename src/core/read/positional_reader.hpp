// The batch reader of regular files that are not mapped (those on network
// filesystems, empty files): positional reads into a window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/base/kind.hpp"
#include "core/block.hpp"
#include "core/platform/file.hpp"
#include "core/read/splitter.hpp"

namespace molbrook {

// Splits the blocks whose first byte lies in [start, end) of a regular
// file a batch at a time, as MappedReader splits a mapped one, into
// blocks owning their bytes. The window holds the file from the block
// being cut on; a block larger than it doubles it.
class PositionalReader {
 public:
  // Reads up to `size` bytes at `offset` into `buffer`, fewer only at the
  // end of the data: what a reader of data that is no local file supplies.
  using ReadAt = std::function<Result<size_t, platform::SystemError>(uint64_t offset, char* buffer, size_t size)>;

  static constexpr size_t kBatchSpan = 131072;
  // The least one read asks for.
  static constexpr size_t kReadSize = 131072;
  static constexpr size_t kWholeFile = SIZE_MAX;

  PositionalReader(platform::File file, Kind kind, size_t start = 0, size_t end = kWholeFile) noexcept
      : file_(std::move(file)), offset_(start), end_(end), kind_(kind) {}
  PositionalReader(ReadAt read, Kind kind, size_t start, size_t end) noexcept
      : read_(std::move(read)), offset_(start), end_(end), kind_(kind) {}

  bool has_block() const noexcept { return front_ < queue_.size(); }
  Block pop() noexcept { return std::move(queue_[front_++]); }

  // Refills the queue with the next batch; it stays empty only at the end
  // of the range. On a failed read the call may be repeated. Runs without
  // the interpreter lock.
  Status<platform::SystemError> next_batch();

 private:
  using Failure = Status<platform::SystemError>;

  // Moves offset_ to the first block start at or after it.
  Failure align();
  // Where the line holding the byte before offset_ begins.
  Failure line_start_before_offset(size_t& line);
  // The end of the block starting at `from`, once no more bytes can move
  // it; the window then starts at or before `from`.
  Failure settled_block_end(size_t from, BlockEnd& end);
  // Drops the window's bytes before `from` and reads more after them.
  Failure read_more(size_t from);
  std::string_view window_from(size_t from) const noexcept;
  Result<size_t, platform::SystemError> read_at(size_t offset, char* buffer, size_t size) const;

  platform::File file_;
  ReadAt read_;  // set for data that is no local file
  ByteBuffer window_;  // the file's bytes from base_ on
  size_t base_ = 0;
  bool window_at_eof_ = false;  // the window reaches the end of the file
  std::vector<Block> queue_;
  size_t front_ = 0;
  size_t offset_;  // where the next block starts, once aligned
  size_t end_;
  Kind kind_;
  bool aligned_ = false;
  bool done_ = false;
};

}  // namespace molbrook
