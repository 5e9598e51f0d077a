// A hash table keyed by atom or bond indices, sized once for a section.
#pragma once

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace molbrook {

// Open addressing with linear probing over a flat array at most half
// full, so filling it with one entry per section line allocates nothing
// after construction. Keys are any signed 64-bit values, which the input
// chooses: they are mixed with a secret drawn once per process, so that no
// file can hold indices that all land in one run of slots.
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
    size_t at = static_cast<size_t>(mix(static_cast<uint64_t>(key) + secret()) >> shift_);
    while (slots_[at].used && slots_[at].key != key) at = (at + 1) & mask;
    return at;
  }

  // The finaliser of SplitMix64: every input bit reaches every output bit.
  static uint64_t mix(uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }

  static uint64_t secret() noexcept {
    static const uint64_t drawn = [] {
      try {
        std::random_device device;
        return static_cast<uint64_t>(device()) << 32 | device();
      } catch (...) {  // no entropy source: the clock still varies per process
        return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      }
    }();
    return drawn;
  }

  std::vector<Slot> slots_;
  int shift_;
};

}  // namespace molbrook
