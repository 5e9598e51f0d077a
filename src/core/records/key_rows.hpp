// Matching blocks to table rows by key, as merging table columns into an
// SD file does: a block's key is its title or the value of one of its
// records, compared byte for byte with the keys of the rows.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/block.hpp"
#include "core/records/lookup.hpp"
#include "core/records/record.hpp"

namespace molbrook {

// The rows of a table by key, and which of them matched a block. Tables
// to merge are often in the order of the file, so a lookup first tries
// the key after the last one matched; only a miss there builds the hash
// table that finds the others.
class KeyRows {
 public:
  // Adds the key of `row`, rows in increasing order. Keys should be
  // distinct: of equal ones, either row may match.
  void add(std::string_view key, size_t row);

  // The row of `key`, which counts as matched from now on; nothing when no
  // row has that key.
  std::optional<size_t> match(std::string_view key);

  // How many different rows matched.
  size_t matched_rows() const noexcept { return matched_rows_; }

 private:
  struct Entry {
    size_t start;  // the key is keys_[start, start + size)
    size_t size;
    size_t row;
    bool matched;
  };

  std::string_view key(const Entry& entry) const noexcept { return keys_.view().substr(entry.start, entry.size); }
  // The entry of `key` through the hash table, built on first use.
  std::optional<size_t> find(std::string_view key);
  void index_entries();
  // The slot of `key`: holding its entry, or free (0) where it would go.
  size_t& slot(std::string_view key) noexcept;

  ByteBuffer keys_;
  std::vector<Entry> entries_;
  std::vector<size_t> slots_;  // entry + 1, or 0; a power of two at least twice the entries
  size_t next_ = 0;            // the entry after the last one matched
  size_t matched_rows_ = 0;
};

// The key a block is matched by: its title, or with `record`, the value of
// the last record so named (nothing when it has none), as
// block.get(record) reads it. The value is a view of the section, valid
// until the block is edited; a value of several lines keeps its inner
// line endings there, so it equals no key without line breaks, as its
// folded form would not either.
RecordResult<std::optional<std::string_view>> block_key(const Block& block, RecordIndexCell& index,
                                                        std::optional<std::string_view> record);

}  // namespace molbrook
