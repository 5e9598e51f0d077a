// The keys of an index file: which blocks have which key (the title, or
// the value of a record as block.get reads it), found in O(log n) without
// reading the data.
//
// Stored as a sorted array of 16-byte entries (key hash u64, text offset
// u32, ordinal u32) and the distinct key texts, each once, in order of
// first appearance, as a u32 length and the bytes. Entries sort by hash,
// then text, then ordinal, so the blocks of one key are adjacent and in
// file order; a hash collision is told apart by comparing the texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/base/result.hpp"

namespace molbrook {

inline constexpr size_t kKeyEntrySize = 16;

struct KeyEntry {
  uint64_t hash;
  uint32_t text;  // offset of the text's length in the text bytes
  uint32_t ordinal;
};

// The blocks of one key: entries [first, last) of a key table.
struct KeyMatch {
  size_t first = 0;
  size_t last = 0;

  bool empty() const noexcept { return first == last; }
  size_t size() const noexcept { return last - first; }
};

// A key table read from an index file's bytes, which it views.
class KeyTableView {
 public:
  KeyTableView() noexcept = default;
  KeyTableView(std::string_view entries, std::string_view texts) noexcept : entries_(entries), texts_(texts) {}

  size_t entry_count() const noexcept { return entries_.size() / kKeyEntrySize; }
  KeyEntry entry(size_t i) const noexcept;
  std::string_view text_bytes() const noexcept { return texts_; }

  // The text at `offset`; empty when the offset is out of bounds, which a
  // checked table never holds.
  std::string_view text_at(uint32_t offset) const noexcept;

  // The entries of `key`, in file order.
  KeyMatch find(std::string_view key) const noexcept;

  // Calls visit(text) for each distinct key in order of first appearance.
  template <class Visit>
  void for_each_text(Visit&& visit) const {
    for (size_t at = 0; at + 4 <= texts_.size();) {
      std::string_view text = text_at(static_cast<uint32_t>(at));
      visit(text);
      at += 4 + text.size();
    }
  }

  // Whether every entry is in order and names a text inside the table,
  // and the ordinals lie below `blocks`.
  bool is_consistent(uint64_t blocks) const noexcept;

 private:
  std::string_view entries_;
  std::string_view texts_;
};

// Why keys cannot be stored: more blocks or key text than the 32-bit
// fields hold.
struct KeyTableFull {};

// Collects the keys of blocks as a scan meets them, in file order.
class KeyTableBuilder {
 public:
  KeyTableBuilder() = default;
  // The keys of `table` for the blocks before `blocks`: what an index
  // extended from that block on keeps.
  KeyTableBuilder(const KeyTableView& table, uint64_t blocks);

  Status<KeyTableFull> add(std::string_view key, uint64_t ordinal);

  // The table as stored: entries sorted, then the texts.
  void append_entries(ByteBuffer& out);
  std::string_view texts() const noexcept { return texts_.view(); }
  size_t entry_count() const noexcept { return entries_.size(); }

 private:
  // The slot holding `key`'s text offset + 1, or the free (0) one where it goes.
  uint32_t& slot(std::string_view key, uint64_t hash) noexcept;
  void grow_slots();

  std::vector<KeyEntry> entries_;
  ByteBuffer texts_;
  size_t text_count_ = 0;
  std::vector<uint32_t> slots_;  // a power of two, at most half full
};

}  // namespace molbrook
