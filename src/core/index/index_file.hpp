// The index file ("sidecar") format: where each block of a data file
// starts, optionally its BGZF virtual offset, and any number of key
// tables, with what is known of the data file it was built from. All
// numbers little-endian; sections 8-byte aligned.
//
//   header, 128 bytes
//     0  magic "\x89MBI\r\n\x1a\n"   8  u32 version          12 u32 flags
//    16  u64 data size              24  i64 data mtime (ns)
//    32  u64 hash of the first 64 KiB of the data (all of a smaller file)
//    40  u64 hash of the last 64 KiB    48  u64 blocks (n)
//    56  u32 key tables             60  u32 0
//    64  u64 hash of everything after the header   72 u64 file size
//    80  zero to 128
//   u64 block starts, n + 1 (the last is the end of the data)
//   u64 BGZF virtual offsets of those, n + 1 (BGZF data only)
//   per key table: u32 kind (0 record, 1 title), u32 name size,
//     u64 entries, u64 text bytes, the name (padded), the entries, the
//     texts (padded); see key_table.hpp
//
// Offsets count bytes of the data as read: of a BGZF file, its
// decompressed bytes. Where the data holds no lone CR, str and bytes
// reading split it alike and one index serves both; otherwise it is bound
// to the kind it was built for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/base/kind.hpp"
#include "core/base/result.hpp"
#include "core/index/key_table.hpp"

namespace molbrook {

inline constexpr uint32_t kIndexVersion = 1;
inline constexpr size_t kIndexHeaderSize = 128;
// How much of the data's head and tail the stamp hashes.
inline constexpr size_t kStampSpan = 65536;

enum IndexFlag : uint32_t {
  kStrReading = 1,   // built for reading as str (CRLF and lone CR end lines)
  kModeBound = 2,    // the data holds a lone CR: only that reading may use it
  kBgzf = 4,         // the data is BGZF; virtual offsets follow the starts
};

// What an index records of its data file, to tell whether it still
// describes it.
struct DataStamp {
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  uint64_t head_hash = 0;
  uint64_t tail_hash = 0;
};

// The hashes of the head and the tail of `size` bytes, as stamps hold them.
uint64_t head_hash(std::string_view head) noexcept;
uint64_t tail_hash(std::string_view tail) noexcept;

// What a key table keys blocks by: the title, or a record's value.
struct KeySpec {
  bool title = false;
  std::string record;

  bool operator==(const KeySpec&) const = default;
};

// A checked index file, viewing its bytes (a mapping or a buffer).
class IndexView {
 public:
  // nullopt for bytes that are not a whole, undamaged index file of this
  // version: such a file is rebuilt, never trusted.
  static std::optional<IndexView> parse(std::string_view bytes);

  uint32_t flags() const noexcept { return flags_; }
  const DataStamp& stamp() const noexcept { return stamp_; }
  uint64_t block_count() const noexcept { return blocks_; }
  // Where block i starts (i <= block_count(): the last is the end).
  uint64_t start(uint64_t i) const noexcept;
  uint64_t virtual_offset(uint64_t i) const noexcept;

  size_t key_table_count() const noexcept { return keys_.size(); }
  const KeySpec& key_spec(size_t table) const noexcept { return keys_[table].spec; }
  const KeyTableView& key_table(size_t table) const noexcept { return keys_[table].table; }
  std::optional<size_t> find_key_table(const KeySpec& spec) const noexcept;

  // Whether the index serves reading as `kind`.
  bool serves(Kind kind) const noexcept {
    return !(flags_ & kModeBound) || static_cast<bool>(flags_ & kStrReading) == (kind == Kind::Str);
  }

 private:
  struct Keys {
    KeySpec spec;
    KeyTableView table;
  };

  bool parse_key_tables(std::string_view file, size_t at, uint32_t count);

  DataStamp stamp_;
  uint32_t flags_ = 0;
  uint64_t blocks_ = 0;
  std::string_view starts_;
  std::string_view virtual_offsets_;
  std::vector<Keys> keys_;
};

// An index file's contents as they are built, written out by serialize().
struct IndexContents {
  struct Keys {
    KeySpec spec;
    KeyTableBuilder table;
  };

  uint32_t flags = 0;
  DataStamp stamp;
  std::vector<uint64_t> starts;           // n + 1
  std::vector<uint64_t> virtual_offsets;  // n + 1 for BGZF data, else empty
  std::vector<Keys> keys;

  // The file's bytes; sorts the key tables' entries.
  ByteBuffer serialize();
};

}  // namespace molbrook
