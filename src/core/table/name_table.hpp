// The record names of a table and their columns. Blocks of one file
// mostly list their records in the same order, so a lookup first tries
// the column that followed the previous match and hashes only on a miss.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace molbrook {

class NameTable {
 public:
  // The column of `name`, if it has one. Call restart() before the first
  // lookup of each block.
  std::optional<size_t> find(std::string_view name);
  // Gives `name`, which must be new, the next column, as if found.
  size_t add(std::string_view name);
  void restart() noexcept { previous_ = kNone; }

  const std::vector<std::string>& names() const noexcept { return names_; }
  size_t size() const noexcept { return names_.size(); }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };
  static constexpr size_t kNone = static_cast<size_t>(-1);

  void matched(size_t column) noexcept;

  std::vector<std::string> names_;
  std::unordered_map<std::string, size_t, Hash, std::equal_to<>> columns_;
  std::vector<size_t> successor_;  // per column: the column matched after it last time
  size_t previous_ = kNone;        // the column matched last in this block
  size_t first_ = kNone;           // the first column matched in the previous block
};

}  // namespace molbrook
