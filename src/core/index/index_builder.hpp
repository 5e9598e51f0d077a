// Building an index: the block starts of the data, and the key of every
// block for each key table, from the start or from the last block of an
// index of the data's earlier, shorter self.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/base/result.hpp"
#include "core/block.hpp"
#include "core/index/block_scan.hpp"
#include "core/index/index_file.hpp"
#include "core/read/file_mapping.hpp"
#include "core/records/lookup.hpp"

namespace molbrook {

// Why an index cannot be built: a block whose records a key lookup cannot
// read (as block.get raises), or more keys than a key table holds.
struct IndexBuildError {
  enum Kind { MalformedRecord, TooManyKeys } kind;
  uint64_t ordinal;  // the block
};

class IndexBuilder {
 public:
  // A new index, for reading as `kind`, keyed by each of `keys`.
  IndexBuilder(Kind kind, bool bgzf, std::vector<KeySpec> keys);
  // The index `previous` of the data's first previous.stamp().size bytes,
  // to be extended: its last block (which appended bytes may lengthen) is
  // scanned again, with everything after it.
  IndexBuilder(const IndexView& previous, Kind kind);

  // Where scanning starts: a block start, and for BGZF data its virtual
  // offset, from whose member on the data is to be fed.
  uint64_t resume_start() const noexcept { return scanner_.next_start(); }
  uint64_t resume_virtual_offset() const noexcept { return resume_virtual_; }

  // Scans a whole plain file (its mapping, when it is mapped: key lookups
  // then borrow its blocks) from resume_start() to its end.
  Status<IndexBuildError> scan_whole(std::string_view file, const MappingRef* mapping);

  // The data a chunk at a time from resume_start() on: for BGZF data, one
  // member's decompressed bytes per call, from the member of
  // resume_virtual_offset() on, `member_start` and `member_end` its
  // offsets in the compressed file (ignored for plain data).
  Status<IndexBuildError> feed(std::string_view data, uint64_t member_start = 0, uint64_t member_end = 0);
  Status<IndexBuildError> finish_stream();

  // The index file of the data, which `stamp` describes.
  ByteBuffer serialize(const DataStamp& stamp);

 private:
  struct Member {
    uint64_t compressed_start;
    uint64_t stream_start;
  };

  void add_block(const FoundBlock& found, const MappingRef* mapping);
  void add_keys(const Block& block, uint64_t ordinal);
  void append_stream(std::string_view data);
  void drop_searched() noexcept;
  void scan_window(std::string_view window, uint64_t base, bool at_eof, const MappingRef* mapping);
  // Virtual offsets of the starts found since resuming.
  void compute_virtual_offsets();

  Kind kind_;
  bool bgzf_;
  bool lone_cr_ = false;
  bool pending_cr_ = false;
  BlockScanner scanner_;
  IndexContents contents_;
  uint64_t resumed_blocks_ = 0;  // blocks kept from the previous index
  uint64_t resume_virtual_ = 0;
  std::optional<IndexBuildError> error_;
  ByteBuffer folded_;            // a multi-line key, its CRLFs read as LF
  // BGZF streams: the bytes from the block being searched on, and the
  // members fed.
  ByteBuffer carry_;
  uint64_t carry_start_ = 0;
  std::vector<Member> members_;
  uint64_t stream_end_ = 0;
  uint64_t compressed_end_ = 0;
};

}  // namespace molbrook
