#include "core/sort/sorted_window.hpp"

#include <algorithm>
#include <cstring>

#include "core/text/lines.hpp"

namespace molbrook {

Result<bool, RunError> SortedWindow::gather(SortJob& job, bool duplicates, ByteBuffer& out, size_t capacity) {
  blocks_.clear();
  placements_.clear();
  const size_t start = out.size();
  while (out.size() - start < capacity) {
    SortedBlock sorted;
    Result<bool, RunError> next = duplicates ? job.next_duplicate(sorted) : job.next_sorted(sorted);
    if (!next) return std::move(next.error());
    if (!*next) break;
    const size_t at = out.size();
    const size_t length = static_cast<size_t>(sorted.length);
    if (sorted.origin.offset) {
      out.reserve_extra(length);
      out.set_size(at + length);
      placements_.push_back({sorted.origin.source, *sorted.origin.offset, sorted.origin.ordinal, at, length});
    } else {
      out.append(sorted.bytes);
    }
    blocks_.push_back({at, length, sorted.origin});
  }
  std::sort(placements_.begin(), placements_.end(), [](const Placement& a, const Placement& b) {
    return a.source != b.source ? a.source < b.source : a.offset < b.offset;
  });
  return !blocks_.empty();
}

std::span<const Placement> SortedWindow::placements_of(uint32_t source) const noexcept {
  auto first = std::partition_point(placements_.begin(), placements_.end(),
                                    [source](const Placement& p) { return p.source < source; });
  auto last = std::partition_point(first, placements_.end(), [source](const Placement& p) { return p.source == source; });
  return {first, last};
}

bool ends_as_found(std::string_view bytes) noexcept {
  const std::string_view ending = bytes.ends_with(kCRLF) ? kCRLF : kLF;
  if (bytes.size() < kDollars.size() + ending.size() || !bytes.ends_with(ending)) return false;
  const size_t line = bytes.size() - kDollars.size() - ending.size();
  return bytes.substr(line).starts_with(kDollars) && (line == 0 || bytes[line - 1] == '\n');
}

bool copy_placed(std::span<const Placement> placements, std::string_view data, char* out) noexcept {
  for (const Placement& placed : placements) {
    if (placed.offset > data.size() || placed.length > data.size() - placed.offset) return false;
    std::memcpy(out + placed.at, data.data() + placed.offset, placed.length);
  }
  return true;
}

namespace {

// Whether `next` lies right after `placed` both in the file and in the
// window, so that one read fills both.
bool follows(const Placement& placed, const Placement& next) noexcept {
  return next.offset == placed.offset + placed.length && next.at == placed.at + placed.length;
}

}  // namespace

Result<bool, platform::SystemError> read_placed(std::span<const Placement> placements, const platform::File& file,
                                                char* out) noexcept {
  for (size_t first = 0; first < placements.size();) {
    size_t end = first + 1;
    while (end < placements.size() && follows(placements[end - 1], placements[end])) ++end;
    const Placement& head = placements[first];
    const size_t length = placements[end - 1].at + placements[end - 1].length - head.at;
    Result<size_t, platform::SystemError> count = platform::read_at(file, head.offset, out + head.at, length);
    if (!count) return count.error();
    if (*count != length) return false;
    first = end;
  }
  return true;
}

}  // namespace molbrook
