#include "core/index/freshness.hpp"

#include <algorithm>
#include <optional>

#include "core/index/hash.hpp"
#include "core/read/range.hpp"
#include "core/read/splitter.hpp"
#include "core/text/lines.hpp"

namespace molbrook {
namespace {

// Bytes read before a block's end to find its $$$$ line.
constexpr size_t kTailWindow = 4096;

uint64_t next_random(uint64_t& state) noexcept {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool hash_matches(IndexedData& data, uint64_t from, uint64_t to, uint64_t expected, ByteBuffer& bytes) {
  return data.read_file(from, static_cast<size_t>(to - from), bytes) && bytes.size() == to - from &&
         hash_bytes(bytes.view()) == expected;
}

bool block_end_holds(const IndexView& index, IndexedData& data, uint64_t block, ByteBuffer& bytes) {
  const uint64_t start = index.start(block);
  const uint64_t end = index.start(block + 1);
  const uint64_t from = std::max(start, end > kTailWindow ? end - kTailWindow : 0);
  if (!data.read_data(index, block, block + 1, from, end, bytes) || bytes.size() != end - from) return false;
  // An index for either kind was built reading bytes, which it equals.
  const Kind kind = (index.flags() & kModeBound) && (index.flags() & kStrReading) ? Kind::Str : Kind::Bytes;
  return ends_with_terminator_line(bytes.view(), from == start, kind);
}

// The blocks followed by another, so that their ends are $$$$ lines: all
// of them when few, else kSpotChecks picked at random.
bool block_ends_hold(const IndexView& index, IndexedData& data, uint64_t seed, ByteBuffer& bytes) {
  const uint64_t candidates = index.block_count() > 0 ? index.block_count() - 1 : 0;
  uint64_t state = seed;
  for (uint64_t i = 0; i < std::min<uint64_t>(candidates, kSpotChecks); ++i) {
    const uint64_t block = candidates <= kSpotChecks ? i : next_random(state) % candidates;
    if (!block_end_holds(index, data, block, bytes)) return false;
  }
  return true;
}

// The data file, noting whether any read of it failed.
class WatchedData : public IndexedData {
 public:
  explicit WatchedData(IndexedData& data) noexcept : data_(data) {}

  bool read_file(uint64_t offset, size_t size, ByteBuffer& out) override {
    return note(data_.read_file(offset, size, out));
  }
  bool read_data(const IndexView& index, uint64_t first, uint64_t last, uint64_t from, uint64_t to,
                 ByteBuffer& out) override {
    return note(data_.read_data(index, first, last, from, to, out));
  }
  bool failed() const noexcept { return failed_; }

 private:
  bool note(bool read) noexcept {
    failed_ = failed_ || !read;
    return read;
  }

  IndexedData& data_;
  bool failed_ = false;
};

}  // namespace

bool ends_with_terminator_line(std::string_view tail, bool whole, Kind kind) noexcept {
  if (tail.empty()) return false;
  std::optional<size_t> line = line_start_at_end(tail, kind);
  if (!line && !whole) return true;
  std::string_view last = tail.substr(line.value_or(0));
  return last.starts_with(kDollars) && find_block_end(last, kind).end == last.size();
}

bool stamp_data(IndexedData& data, const FileState& now, DataStamp& stamp) {
  ByteBuffer bytes;
  stamp.size = now.size;
  stamp.mtime_ns = now.mtime_ns;
  if (!data.read_file(0, static_cast<size_t>(std::min<uint64_t>(now.size, kStampSpan)), bytes)) return false;
  stamp.head_hash = head_hash(bytes.view());
  const uint64_t tail = std::min<uint64_t>(now.size, kStampSpan);
  if (!data.read_file(now.size - tail, static_cast<size_t>(tail), bytes)) return false;
  stamp.tail_hash = tail_hash(bytes.view());
  return true;
}

Freshness check_freshness(const IndexView& index, const FileState& now, IndexedData& unwatched, uint64_t seed) {
  WatchedData data(unwatched);
  const DataStamp& then = index.stamp();
  const bool same_size = now.size == then.size;
  if (now.size < then.size || (same_size && now.mtime_ns != then.mtime_ns)) return Freshness::Stale;
  ByteBuffer bytes;
  const uint64_t span = std::min<uint64_t>(then.size, kStampSpan);
  if (!hash_matches(data, 0, span, then.head_hash, bytes) ||
      !hash_matches(data, then.size - span, then.size, then.tail_hash, bytes) ||
      !block_ends_hold(index, data, seed, bytes)) {
    return data.failed() ? Freshness::Unreadable : Freshness::Stale;
  }
  return same_size ? Freshness::Current : Freshness::Appended;
}

bool fits_reading(const IndexView& index, Kind kind, bool bgzf) noexcept {
  return index.serves(kind) && static_cast<bool>(index.flags() & kBgzf) == bgzf;
}

IndexPlan plan_opening(bool found, Freshness freshness, bool has_key) noexcept {
  if (!found || !has_key) return IndexPlan::Rebuild;
  if (freshness == Freshness::Current) return IndexPlan::Reuse;
  return freshness == Freshness::Appended ? IndexPlan::Extend : IndexPlan::Rebuild;
}

}  // namespace molbrook
