#include "core/index/key_table.hpp"

#include <algorithm>
#include <bit>
#include <tuple>

#include "core/base/little_endian.hpp"
#include "core/index/hash.hpp"

namespace molbrook {
namespace {

bool entry_less(const KeyEntry& a, const KeyEntry& b) noexcept {
  return std::tie(a.hash, a.text, a.ordinal) < std::tie(b.hash, b.text, b.ordinal);
}

}  // namespace

KeyEntry KeyTableView::entry(size_t i) const noexcept {
  const char* p = entries_.data() + i * kKeyEntrySize;
  return {load_le<uint64_t>(p), load_le<uint32_t>(p + 8), load_le<uint32_t>(p + 12)};
}

std::string_view KeyTableView::text_at(uint32_t offset) const noexcept {
  if (texts_.size() < 4 || offset > texts_.size() - 4) return {};
  const uint32_t size = load_le<uint32_t>(texts_.data() + offset);
  if (size > texts_.size() - 4 - offset) return {};
  return texts_.substr(offset + 4, size);
}

KeyMatch KeyTableView::find(std::string_view key) const noexcept {
  const uint64_t hash = hash_bytes(key);
  size_t low = 0;
  size_t high = entry_count();
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    if (entry(middle).hash < hash) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  // Within the run of this hash, the entries of each text are adjacent.
  for (size_t i = low; i < entry_count() && entry(i).hash == hash;) {
    const uint32_t text = entry(i).text;
    size_t last = i + 1;
    while (last < entry_count() && entry(last).hash == hash && entry(last).text == text) ++last;
    if (text_at(text) == key) return {i, last};
    i = last;
  }
  return {};
}

bool KeyTableView::is_consistent(uint64_t blocks) const noexcept {
  if (entries_.size() % kKeyEntrySize != 0) return false;
  for (size_t i = 0; i < entry_count(); ++i) {
    KeyEntry current = entry(i);
    if (current.ordinal >= blocks || current.text > texts_.size() || texts_.size() - current.text < 4) return false;
    if (i > 0 && !entry_less(entry(i - 1), current)) return false;
  }
  return true;
}

KeyTableBuilder::KeyTableBuilder(const KeyTableView& table, uint64_t blocks) {
  size_t texts_end = 0;
  for (size_t i = 0; i < table.entry_count(); ++i) {
    KeyEntry entry = table.entry(i);
    if (entry.ordinal >= blocks) continue;
    entries_.push_back(entry);
    texts_end = std::max(texts_end, size_t{entry.text} + 4 + table.text_at(entry.text).size());
  }
  // Texts are stored in order of first appearance: those of the blocks
  // kept come first.
  texts_.append(table.text_bytes().substr(0, texts_end));
  KeyTableView({}, texts_.view()).for_each_text([&](std::string_view) { ++text_count_; });
  grow_slots();
}

Status<KeyTableFull> KeyTableBuilder::add(std::string_view key, uint64_t ordinal) {
  if (ordinal > UINT32_MAX) return KeyTableFull{};
  if (2 * (text_count_ + 1) > slots_.size()) grow_slots();
  const uint64_t hash = hash_bytes(key);
  uint32_t& found = slot(key, hash);
  if (found == 0) {
    const size_t offset = texts_.size();
    if (key.size() > UINT32_MAX - 4 || offset + 4 + key.size() > UINT32_MAX) return KeyTableFull{};
    append_le<uint32_t>(texts_, static_cast<uint32_t>(key.size()));
    texts_.append(key);
    found = static_cast<uint32_t>(offset + 1);
    ++text_count_;
  }
  entries_.push_back({hash, found - 1, static_cast<uint32_t>(ordinal)});
  return std::nullopt;
}

void KeyTableBuilder::append_entries(ByteBuffer& out) {
  std::sort(entries_.begin(), entries_.end(), entry_less);
  out.reserve_extra(entries_.size() * kKeyEntrySize);
  for (const KeyEntry& entry : entries_) {
    append_le<uint64_t>(out, entry.hash);
    append_le<uint32_t>(out, entry.text);
    append_le<uint32_t>(out, entry.ordinal);
  }
}

uint32_t& KeyTableBuilder::slot(std::string_view key, uint64_t hash) noexcept {
  const KeyTableView texts({}, texts_.view());
  const size_t mask = slots_.size() - 1;
  for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
    uint32_t& slot = slots_[i];
    if (slot == 0 || texts.text_at(slot - 1) == key) return slot;
  }
}

void KeyTableBuilder::grow_slots() {
  slots_.assign(std::bit_ceil(std::max<size_t>(16, 4 * (text_count_ + 1))), 0);
  const KeyTableView texts({}, texts_.view());
  texts.for_each_text([&](std::string_view text) {
    const size_t offset = static_cast<size_t>(text.data() - texts_.data()) - 4;
    slot(text, hash_bytes(text)) = static_cast<uint32_t>(offset + 1);
  });
}

}  // namespace molbrook
