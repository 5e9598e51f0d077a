#include "core/table/name_table.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <new>

namespace molbrook {
namespace {

size_t hash_name(std::string_view name) noexcept { return std::hash<std::string_view>{}(name); }

// Doubles the capacity of a full vector, so that its next push_back
// cannot throw.
template <class T>
void reserve_one_more(std::vector<T>& items) {
  if (items.size() == items.capacity()) items.reserve(2 * items.size() + 1);
}

}  // namespace

size_t NameTable::find_hashed(std::string_view name) const noexcept {
  if (slots_.empty()) return kNone;
  const size_t hash = hash_name(name);
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot] == 0) return kNone;
    const size_t column = slots_[slot] - 1;
    if (hashes_[column] == hash && names_[column] == name) return column;
  }
}

void NameTable::insert_slot(size_t column) noexcept {
  const size_t mask = slots_.size() - 1;
  size_t slot = hashes_[column] & mask;
  while (slots_[slot] != 0) slot = (slot + 1) & mask;
  slots_[slot] = static_cast<uint32_t>(column + 1);
}

size_t NameTable::add(std::string_view name) {
  const size_t column = names_.size();
  if (column >= std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
  // Everything that can fail is allocated before the table changes, so a
  // failed add leaves it as it was.
  std::string owned(name);
  std::vector<uint32_t> grown;
  if (2 * (column + 1) > slots_.size()) grown.assign(std::max<size_t>(16, 2 * slots_.size()), 0);
  reserve_one_more(names_);
  reserve_one_more(hashes_);
  reserve_one_more(successor_);

  names_.push_back(std::move(owned));
  hashes_.push_back(hash_name(name));
  successor_.push_back(kNone);
  if (grown.empty()) {
    insert_slot(column);
  } else {
    slots_.swap(grown);
    for (size_t i = 0; i < names_.size(); ++i) insert_slot(i);
  }
  matched(column);
  return column;
}

}  // namespace molbrook
