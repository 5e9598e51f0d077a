// Whether an index file still describes its data file: unchanged, grown
// by appending, or anything else (rebuilt).
//
// An index records the data's size, modification time and the hashes of
// its first and last 64 KiB. It is current when all of these match and
// the ends of blocks picked at random are still $$$$ lines; appended to
// when the file only grew, its head and its old last 64 KiB intact and
// the picked block ends in place. A same-size edit with a new time is
// stale: block ends may have moved. An edit that restores the size and
// time by hand and spares both ends and the picked blocks goes unseen.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/index/index_file.hpp"
#include "core/index/indexed_data.hpp"

namespace molbrook {

// Unreadable: a read of the data file failed; the reader recorded why.
enum class Freshness { Current, Appended, Stale, Unreadable };

// How many block ends an opening checks.
inline constexpr int kSpotChecks = 16;

// The data file as it is now.
struct FileState {
  uint64_t size;
  int64_t mtime_ns;
};

// `seed` picks the blocks whose ends are checked.
Freshness check_freshness(const IndexView& index, const FileState& now, IndexedData& data, uint64_t seed);

// Whether an index file was made for the data as it is read now: as
// `kind` (the two readings differ for a file with lone CRs) and in the
// same format, BGZF or plain. One that was not is rebuilt.
bool fits_reading(const IndexView& index, Kind kind, bool bgzf) noexcept;

// What opening an index does with the index file it found.
enum class IndexPlan {
  Reuse,    // it describes the data and holds the key asked for
  Extend,   // the data was appended to: the new blocks are scanned
  Rebuild,  // missing, stale, without the key or made for another reading
};

// The one policy: `found` is the index file when it fits the reading,
// `has_key` whether it holds the key asked for (true when none was).
IndexPlan plan_opening(bool found, Freshness freshness, bool has_key) noexcept;

// Whether `tail`, the last bytes of a block (all of it when `whole`),
// ends with a $$$$ line that ends there, read as `kind`. A last line
// longer than a partial tail cannot be told and passes.
bool ends_with_terminator_line(std::string_view tail, bool whole, Kind kind) noexcept;

// The stamp of a data file whose head and tail `data` reads.
bool stamp_data(IndexedData& data, const FileState& now, DataStamp& stamp);

}  // namespace molbrook
