// Sorting (key, payload) entries by key bytes within a memory budget:
// entries gather in memory until the budget is reached, are then sorted
// and spilled to a run file, and the runs are merged when all are in.
// With a limit, only the first entries in order are kept, in memory
// proportional to the limit.
//
// Keys are compared with memcmp; equal keys come out in no particular
// order, so callers make their keys unique (a sequence number at the end).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/sort/run_file.hpp"

namespace molbrook {

class RunSorter {
 public:
  // Runs go to `folder`, which outlives the sorter. `budget` bounds the
  // bytes of entries held in memory (at least one entry is always held).
  RunSorter(RunFolder& folder, size_t budget, std::optional<uint64_t> limit) noexcept;
  RunSorter(const RunSorter&) = delete;
  RunSorter& operator=(const RunSorter&) = delete;
  ~RunSorter();

  Status<RunError> add(const SortEntry& entry);

  // Ends the adding: what is held is sorted, spilled runs are merged down
  // to a number that can be read at once, and next() hands out entries.
  Status<RunError> finish();

  // The next entry in key order, valid until the next call; false at the
  // end (after `limit` entries, with one).
  Result<bool, RunError> next(SortEntry& entry);

  // Entries added so far.
  uint64_t size() const noexcept { return added_; }

 private:
  class Merger;

  // A held entry: where it starts in held_, and the first 16 bytes of its
  // key as two big-endian numbers (zero-padded), which decide most
  // comparisons without reading the entry (a number key and the sequence
  // of a block without one fit in them).
  struct Held {
    std::array<uint64_t, 2> prefix;
    size_t offset;
  };

  SortEntry held_entry(size_t offset) const noexcept;
  // The Held of `entry`, about to be appended to held_.
  Held hold(const SortEntry& entry) const noexcept;
  void sort_held();
  // Keeps the first `limit_` held entries and frees the room of the rest.
  void keep_limit();
  Status<RunError> spill();
  // Merges runs fan_in_ at a time until at most fan_in_ are left.
  Status<RunError> merge_down();
  // Merges `runs` into one new run.
  Result<std::string, RunError> merge_into_run(const std::vector<std::string>& runs);

  RunFolder* folder_;
  size_t budget_;
  std::optional<uint64_t> limit_;
  ByteBuffer held_;              // entries as run files hold them
  std::vector<Held> entries_;    // the held entries, in key order once sorted
  std::vector<std::string> runs_;
  size_t fan_in_;  // runs merged at once
  uint64_t added_ = 0;
  // Reading: the held entries in order, or a merge of the runs.
  size_t next_held_ = 0;
  std::unique_ptr<Merger> merger_;
  uint64_t handed_out_ = 0;
};

}  // namespace molbrook
