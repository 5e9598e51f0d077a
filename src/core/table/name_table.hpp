// The record names of a table and their columns. Blocks of one file
// mostly list their records in the same order, so a lookup first tries
// the column that followed the previous match (inline, in the caller's
// loop) and hashes only on a miss.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace molbrook {

class NameTable {
 public:
  // The column of `name`, if it has one. Call restart() before the first
  // lookup of each block.
  std::optional<size_t> find(std::string_view name) {
    const size_t guess = previous_ == kNone ? first_ : successor_[previous_];
    const size_t column = guess != kNone && names_[guess] == name ? guess : find_hashed(name);
    if (column == kNone) return std::nullopt;
    matched(column);
    return column;
  }
  // Gives `name`, which must be new, the next column, as if found.
  size_t add(std::string_view name);
  void restart() noexcept { previous_ = kNone; }

  const std::vector<std::string>& names() const noexcept { return names_; }
  size_t size() const noexcept { return names_.size(); }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  size_t find_hashed(std::string_view name) const noexcept;
  void insert_slot(size_t column) noexcept;
  void matched(size_t column) noexcept {
    (previous_ == kNone ? first_ : successor_[previous_]) = column;
    previous_ = column;
  }

  std::vector<std::string> names_;
  std::vector<size_t> hashes_;     // per column: its name's hash
  std::vector<size_t> successor_;  // per column: the column matched after it last time
  // Open addressing over a power-of-two count of slots, at most half
  // full: each holds a column + 1, or 0 when empty.
  std::vector<uint32_t> slots_;
  size_t previous_ = kNone;  // the column matched last in this block
  size_t first_ = kNone;     // the first column matched in the previous block
};

}  // namespace molbrook
