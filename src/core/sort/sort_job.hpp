// One sort of SD blocks from many sources: keys read from each block as it
// arrives, blocks kept by reference (source and offset) when the source
// can be read there again, else by their bytes; then the best `per_group`
// of each group, the dropped ones aside in input order, and the first
// `top` of the rest in key order.
//
// Grouping sorts twice: by group then key, to find the first blocks of
// each group wherever they are in the input, and the survivors by key.
// Each stage holds at most its share of the memory budget, spilling runs
// past it.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/block.hpp"
#include "core/records/lookup.hpp"
#include "core/sort/run_sorter.hpp"
#include "core/sort/sort_key.hpp"

namespace molbrook {

struct SortOptions {
  std::vector<SortKeySpec> keys;  // most significant first
  // The group a block belongs to: the value `group` reads (name or title);
  // blocks without one form no group.
  std::optional<SortKeySpec> group;
  uint64_t per_group = 1;
  std::optional<uint64_t> top;
  size_t memory = 0;
  const UnicodeDigits* str_digits = nullptr;  // number keys read as str (else as bytes)
};

// Where a block came from: its source, its ordinal there, and, when the
// block is to be read back from the source, its offset in the source's
// data (of a BGZF file, the decompressed data).
struct BlockOrigin {
  uint32_t source = 0;
  uint64_t ordinal = 0;
  std::optional<uint64_t> offset;
};

// A block handed out: its origin and its bytes, or (with an offset) the
// length to read there.
struct SortedBlock {
  BlockOrigin origin;
  uint64_t length = 0;
  std::string_view bytes;  // empty with an offset
};

using SortFailure = std::variant<MalformedRecord, RunError>;

class SortJob {
 public:
  // Run files go to `run_folder`, which the caller made and removes.
  SortJob(SortOptions options, std::string run_folder);

  Status<SortFailure> add(const Block& block, RecordIndexCell& index, const BlockOrigin& origin);

  // Ends the adding and settles the groups.
  Status<RunError> finish();

  // The blocks to write, in order; then those per_group dropped, in input
  // order. Each valid until the next call.
  Result<bool, RunError> next_sorted(SortedBlock& block) { return next_of(sorted_, block); }
  Result<bool, RunError> next_duplicate(SortedBlock& block) { return next_of(duplicates_, block); }

  uint64_t blocks_in() const noexcept { return blocks_in_; }
  uint64_t missing_dropped() const noexcept { return missing_dropped_; }
  uint64_t duplicates() const noexcept { return duplicates_.size(); }
  uint64_t spilled_runs() const noexcept { return folder_.runs_made(); }

  // Whether any block had a value for key i: the keys, then the group.
  bool found(size_t key) const noexcept { return found_[key] != 0; }
  size_t key_count() const noexcept { return found_.size(); }
  // The record names of the first blocks of each source, in the order
  // met: enough to name the likely ones when a key's record is in no block.
  const std::vector<std::string>& names_seen() const noexcept { return names_seen_; }

 private:
  Result<bool, RunError> next_of(RunSorter& sorter, SortedBlock& block);
  // Notes the record names of the block, one of the first of its source.
  void see_names(const Block& block);
  // The group stage's blocks: the first per_group of each group go on to
  // be sorted, the others aside.
  Status<RunError> settle_groups();

  SortOptions options_;
  RunFolder folder_;
  std::optional<RunSorter> grouped_;  // by (group, key, sequence), with a group
  RunSorter sorted_;                  // by (key, sequence)
  RunSorter duplicates_;              // by sequence
  uint64_t blocks_in_ = 0;
  uint64_t missing_dropped_ = 0;
  std::vector<uint8_t> found_;
  std::vector<std::string> names_seen_;
  std::set<std::string, std::less<>> names_known_;
  ByteBuffer key_;
  ByteBuffer payload_;
  ByteBuffer scratch_;
};

}  // namespace molbrook
