#include "core/table/name_table.hpp"

namespace molbrook {

std::optional<size_t> NameTable::find(std::string_view name) {
  const size_t guess = previous_ == kNone ? first_ : successor_[previous_];
  size_t column;
  if (guess != kNone && names_[guess] == name) {
    column = guess;
  } else {
    auto found = columns_.find(name);
    if (found == columns_.end()) return std::nullopt;
    column = found->second;
  }
  matched(column);
  return column;
}

void NameTable::matched(size_t column) noexcept {
  if (previous_ == kNone) {
    first_ = column;
  } else {
    successor_[previous_] = column;
  }
  previous_ = column;
}

size_t NameTable::add(std::string_view name) {
  const size_t column = names_.size();
  names_.emplace_back(name);
  columns_.emplace(names_.back(), column);
  successor_.push_back(kNone);
  matched(column);
  return column;
}

}  // namespace molbrook
