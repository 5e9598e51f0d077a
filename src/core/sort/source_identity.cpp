#include "core/sort/source_identity.hpp"

#include <algorithm>

#include "core/index/freshness.hpp"
#include "core/index/indexed_data.hpp"
#include "core/sort/sorted_window.hpp"

namespace molbrook {
namespace {

// The bytes that tell whether a block ends as it was found: a CRLF
// line ending, $$$$, and the line ending before it.
constexpr uint64_t kEndBytes = 7;

// The stamp of `file` now; nothing for a file that is not regular.
Result<std::optional<DataStamp>, platform::SystemError> stamp_of(const platform::File& file) {
  std::optional<uint64_t> size = platform::regular_file_size(file);
  std::optional<int64_t> mtime = platform::modification_time_ns(file);
  if (!size || !mtime) return std::optional<DataStamp>();
  PlainData data(file);
  DataStamp stamp;
  if (!stamp_data(data, FileState{*size, *mtime}, stamp)) return data.error();
  return std::optional(stamp);
}

bool same_stamp(const DataStamp& a, const DataStamp& b) noexcept {
  return a.size == b.size && a.mtime_ns == b.mtime_ns && a.head_hash == b.head_hash && a.tail_hash == b.tail_hash;
}

}  // namespace

Result<std::optional<SourceIdentity>, platform::SystemError> SourceIdentity::take(const platform::File& file) {
  Result<std::optional<DataStamp>, platform::SystemError> stamp = stamp_of(file);
  if (!stamp) return stamp.error();
  if (!*stamp) return std::optional<SourceIdentity>();
  return std::optional(SourceIdentity(**stamp));
}

void SourceIdentity::note_block(uint64_t offset, uint64_t length) {
  if (noted_++ % stride_ != 0) return;
  if (spots_.size() == 2 * static_cast<size_t>(kSpotChecks)) {
    // Full: keep every other one, and from now on every other block of those kept.
    for (size_t i = 0; i < spots_.size() / 2; ++i) spots_[i] = spots_[2 * i];
    spots_.resize(spots_.size() / 2);
    stride_ *= 2;
    if ((noted_ - 1) % stride_ != 0) return;
  }
  spots_.push_back({offset, length});
}

Result<bool, platform::SystemError> SourceIdentity::holds(const platform::File& file) const {
  Result<std::optional<DataStamp>, platform::SystemError> now = stamp_of(file);
  if (!now) return now.error();
  if (!*now || !same_stamp(**now, stamp_)) return false;
  PlainData data(file);
  ByteBuffer tail;
  for (size_t i = 0; i < spots_.size(); i += std::max<size_t>(1, spots_.size() / kSpotChecks)) {
    const uint64_t length = std::min(spots_[i].length, kEndBytes);
    const uint64_t end = spots_[i].offset + spots_[i].length;
    if (!data.read_file(end - length, static_cast<size_t>(length), tail)) return data.error();
    if (!ends_as_found(tail.view())) return false;
  }
  return true;
}

}  // namespace molbrook
