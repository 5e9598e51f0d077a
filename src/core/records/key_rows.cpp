#include "core/records/key_rows.hpp"

#include <bit>
#include <functional>

namespace molbrook {

void KeyRows::add(std::string_view key, size_t row) {
  entries_.push_back({keys_.size(), key.size(), row, false});
  keys_.append(key);
}

std::optional<size_t> KeyRows::match(std::string_view key) {
  std::optional<size_t> found = next_ < entries_.size() && this->key(entries_[next_]) == key ? next_ : find(key);
  if (!found) return std::nullopt;
  next_ = *found + 1;
  Entry& entry = entries_[*found];
  if (!entry.matched) {
    entry.matched = true;
    ++matched_rows_;
  }
  return entry.row;
}

std::optional<size_t> KeyRows::find(std::string_view key) {
  if (slots_.empty()) index_entries();
  size_t entry = slot(key);
  if (entry == 0) return std::nullopt;
  return entry - 1;
}

void KeyRows::index_entries() {
  slots_.assign(std::bit_ceil(2 * entries_.size() + 1), 0);
  for (size_t i = 0; i < entries_.size(); ++i) slot(key(entries_[i])) = i + 1;
}

size_t& KeyRows::slot(std::string_view key) noexcept {
  const size_t mask = slots_.size() - 1;
  for (size_t i = std::hash<std::string_view>{}(key) & mask;; i = (i + 1) & mask) {
    size_t& slot = slots_[i];
    if (slot == 0 || this->key(entries_[slot - 1]) == key) return slot;
  }
}

RecordResult<std::optional<std::string_view>> block_key(const Block& block, RecordIndexCell& index,
                                                        std::optional<std::string_view> record) {
  if (!record) return std::optional(block.title());
  const std::string_view section = record_section(block);
  RecordResult<std::optional<RecordValue>> found = find_last(section, index, *record);
  if (!found) return MalformedRecord{};
  if (!*found) return std::optional<std::string_view>();
  return std::optional(section.substr((*found)->start, (*found)->end - (*found)->start));
}

}  // namespace molbrook
