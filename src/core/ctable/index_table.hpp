// A hash table keyed by atom or bond indices, sized once for a section.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace molbrook {

// Open addressing with linear probing over a flat array at most half
// full, so filling it with one entry per section line allocates nothing
// after construction. Keys are any signed 64-bit values.
template <class Value>
class IndexTable {
 public:
  // Room for `capacity` keys; no more may be stored.
  explicit IndexTable(size_t capacity)
      : slots_(std::bit_ceil(std::max<size_t>(2 * capacity, 2))),
        shift_(64 - std::countr_zero(slots_.size())) {}

  // The value stored for `key`, storing `value` first when the key is new;
  // the flag tells whether it was.
  std::pair<Value*, bool> try_emplace(int64_t key, Value value) noexcept {
    Slot& slot = slots_[slot_index(key)];
    const bool added = !slot.used;
    if (added) slot = {key, std::move(value), true};
    return {&slot.value, added};
  }

  const Value* find(int64_t key) const noexcept {
    const Slot& slot = slots_[slot_index(key)];
    return slot.used ? &slot.value : nullptr;
  }

 private:
  struct Slot {
    int64_t key = 0;
    Value value{};
    bool used = false;
  };

  // The slot holding `key`, or the empty one where it belongs.
  size_t slot_index(int64_t key) const noexcept {
    const size_t mask = slots_.size() - 1;
    // Fibonacci hashing spreads runs of consecutive indices over the table.
    size_t at = static_cast<size_t>((static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15u) >> shift_);
    while (slots_[at].used && slots_[at].key != key) at = (at + 1) & mask;
    return at;
  }

  std::vector<Slot> slots_;
  int shift_;
};

}  // namespace molbrook
