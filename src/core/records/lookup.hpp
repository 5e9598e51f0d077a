// Lookups of records by name, and the record index that speeds up repeated
// lookups on one block.
//
// The first lookup after a block is created or edited scans the section;
// the second builds the index, which later lookups use. A block looked up
// once never pays for an index, and any edit drops it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/records/record.hpp"

namespace molbrook {

// The records of one section in scan order: four offsets and a flag each.
class RecordIndex {
 public:
  struct Entry {
    uint32_t name_start;
    uint32_t name_end;
    uint32_t value_start;
    uint32_t value_end;
    bool fold;
  };

  // Scans the whole section. A section of 4 GiB or more, whose offsets do
  // not fit the entries, gets an index without a table.
  static RecordResult<std::unique_ptr<RecordIndex>> build(std::string_view section);

  bool has_table() const noexcept { return has_table_; }

  std::optional<RecordValue> find_last(std::string_view section, std::string_view name) const noexcept;
  bool contains(std::string_view section, std::string_view name) const noexcept {
    return find_last(section, name).has_value();
  }
  size_t count() const noexcept { return entries_.size(); }

 private:
  std::vector<Entry> entries_;
  bool has_table_ = false;
};

// Where a block keeps its index: not requested, requested once, or built.
// Lookups run under shared access, so two threads may build at once: the
// first index published wins and readers load it with acquire ordering.
// Dropping happens under exclusive access only (the edit guard).
class RecordIndexCell {
 public:
  RecordIndexCell() noexcept = default;
  RecordIndexCell(const RecordIndexCell&) = delete;
  RecordIndexCell& operator=(const RecordIndexCell&) = delete;
  // Nothing else can reach a cell being destroyed: no atomic exchange.
  ~RecordIndexCell() { delete built_.load(std::memory_order_acquire); }

  const RecordIndex* built() const noexcept { return built_.load(std::memory_order_acquire); }

  // Marks the index requested; true when it already was.
  bool request() noexcept { return requested_.exchange(true, std::memory_order_acq_rel); }

  // Stores `index` unless another one was stored first, and returns the
  // stored one.
  const RecordIndex* publish(std::unique_ptr<RecordIndex> index) noexcept;

  // Frees the index and clears the requested mark.
  void drop() noexcept;

 private:
  std::atomic<RecordIndex*> built_{nullptr};
  std::atomic<bool> requested_{false};
};

// The value of the last record named `name`, or nothing.
RecordResult<std::optional<RecordValue>> find_last(std::string_view section, RecordIndexCell& cell,
                                                   std::string_view name);
// Whether any record is named `name`.
RecordResult<bool> contains(std::string_view section, RecordIndexCell& cell, std::string_view name);
// The number of records.
RecordResult<size_t> count(std::string_view section, RecordIndexCell& cell);

}  // namespace molbrook
