#include "core/records/lookup.hpp"

#include <cstdint>

namespace molbrook {

RecordResult<std::unique_ptr<RecordIndex>> RecordIndex::build(std::string_view section) {
  auto index = std::make_unique<RecordIndex>();
  if (section.size() > UINT32_MAX) return index;
  index->has_table_ = true;
  std::vector<Entry>& entries = index->entries_;
  bool complete = visit_records(section, [&](const ScannedRecord& record) {
    RecordValue value = record_value(section, record);
    entries.push_back({static_cast<uint32_t>(record.name_start),
                       static_cast<uint32_t>(record.name_start + record.name_size),
                       static_cast<uint32_t>(value.start), static_cast<uint32_t>(value.end), value.fold});
  });
  if (!complete) return MalformedRecord{};
  return index;
}

// Newest first, so a name's last record is found first.
std::optional<RecordValue> RecordIndex::find_last(std::string_view section, std::string_view name) const noexcept {
  for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
    if (entry->name_end - entry->name_start == name.size() &&
        section.substr(entry->name_start, name.size()) == name) {
      return RecordValue{entry->value_start, entry->value_end, entry->fold};
    }
  }
  return std::nullopt;
}

const RecordIndex* RecordIndexCell::publish(std::unique_ptr<RecordIndex> index) noexcept {
  RecordIndex* expected = nullptr;
  if (built_.compare_exchange_strong(expected, index.get(), std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
    return index.release();
  }
  return expected;  // another thread's index won; ours is freed
}

void RecordIndexCell::drop() noexcept {
  delete built_.exchange(nullptr, std::memory_order_acq_rel);
  requested_.store(false, std::memory_order_release);
}

namespace {

// The index to consult, or null when the section is to be scanned: the
// first lookup only marks the index requested, the second builds it.
RecordResult<const RecordIndex*> usable_index(std::string_view section, RecordIndexCell& cell) {
  const RecordIndex* index = cell.built();
  if (index == nullptr) {
    if (!cell.request()) return nullptr;
    RecordResult<std::unique_ptr<RecordIndex>> fresh = RecordIndex::build(section);
    if (!fresh) return MalformedRecord{};
    index = cell.publish(std::move(*fresh));
  }
  return index->has_table() ? index : nullptr;
}

}  // namespace

RecordResult<std::optional<RecordValue>> find_last(std::string_view section, RecordIndexCell& cell,
                                                   std::string_view name) {
  RecordResult<const RecordIndex*> index = usable_index(section, cell);
  if (!index) return MalformedRecord{};
  if (*index != nullptr) return (*index)->find_last(section, name);
  // A bad header anywhere fails the lookup, also after a match.
  std::optional<ScannedRecord> last;
  if (!visit_records(section, [&](const ScannedRecord& record) {
        if (record.name(section) == name) last = record;
      })) {
    return MalformedRecord{};
  }
  if (!last) return std::optional<RecordValue>();
  return std::optional(record_value(section, *last));
}

RecordResult<bool> contains(std::string_view section, RecordIndexCell& cell, std::string_view name) {
  RecordResult<const RecordIndex*> index = usable_index(section, cell);
  if (!index) return MalformedRecord{};
  if (*index != nullptr) return (*index)->contains(section, name);
  bool found = false;
  if (!visit_records(section, [&](const ScannedRecord& record) { found = found || record.name(section) == name; })) {
    return MalformedRecord{};
  }
  return found;
}

RecordResult<size_t> count(std::string_view section, RecordIndexCell& cell) {
  RecordResult<const RecordIndex*> index = usable_index(section, cell);
  if (!index) return MalformedRecord{};
  if (*index != nullptr) return (*index)->count();
  size_t records = 0;
  if (!visit_records(section, [&](const ScannedRecord&) { ++records; })) return MalformedRecord{};
  return records;
}

}  // namespace molbrook
