// One molecule block: its bytes as read, always ending with a bare $$$$
// line, and the two boundaries from which every section is a slice.
//
//   title line   [0, title_end)          ends with its line ending
//   MDL          [title_end, mdl_end)    header lines and CTAB through M  END
//   SD data      [mdl_end, size - T)     records
//   terminator   [size - T, size)        "$$$$\n" or "$$$$\r\n" (T = 5 or 6)
//
// title_end is 0 only for a block that is its terminator line alone. The
// MDL ends with its first line that starts with "M  END". A block without
// such a line has no MDL when the text after its title starts (past blank
// lines) with an SD data header line, which makes it a block of records
// without a molecule; otherwise all of that text is MDL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/platform/file_mapping.hpp"

namespace molbrook {

// Where the MDL of a block's body (its bytes after the title line, up to
// its $$$$ line) ends: just past the first line that starts with
// "M  END", whatever follows on it. nullopt without such a line (the
// block's comment says where the MDL ends then).
std::optional<size_t> find_mdl_end(std::string_view body) noexcept;

// Where a reader ends the MDL of a block's body: past its M  END line;
// without one, at the start before a header line (a block of records
// without a molecule), at the end otherwise.
struct MdlEnd {
  size_t offset;
  bool has_m_end;
};
MdlEnd mdl_end_as_read(std::string_view body) noexcept;

// A block's bytes: a buffer of its own, or a slice of a shared file
// mapping that the first edit copies out.
class BlockStorage {
 public:
  explicit BlockStorage(ByteBuffer owned) noexcept : owned_(std::move(owned)) {}
  BlockStorage(MappingRef mapping, size_t start, size_t end) noexcept
      : mapping_(std::move(mapping)), start_(start), end_(end) {}

  std::string_view bytes() const noexcept {
    return mapping_ ? mapping_->bytes().substr(start_, end_ - start_) : owned_.view();
  }
  bool is_mapped() const noexcept { return static_cast<bool>(mapping_); }
  // Where a mapped slice starts in the file.
  std::optional<size_t> mapped_offset() const noexcept {
    return mapping_ ? std::optional(start_) : std::nullopt;
  }

  // The owned buffer with room for `spare` more bytes, copying a mapped
  // slice out first.
  ByteBuffer& make_owned(size_t spare);

 private:
  ByteBuffer owned_;
  MappingRef mapping_;  // set for a mapped slice
  size_t start_ = 0;
  size_t end_ = 0;
};

class Block {
 public:
  static constexpr size_t kUnlocated = SIZE_MAX;

  // Builds a block from the bytes of one block as a splitter cut them,
  // with the offset where its $$$$ line starts if one was seen. Completes
  // a missing final line ending and replaces a missing or decorated $$$$
  // line with a bare one.
  static Block build(ByteBuffer bytes, std::optional<size_t> term_start);

  // A block over mapping[start, end), whose $$$$ line starts at
  // `term_start` (relative to `start`), when build() would leave those
  // bytes as they are; nothing is copied. nullopt when they need a change.
  static std::optional<Block> borrow(const MappingRef& mapping, size_t start, size_t end,
                                     size_t term_start) noexcept;

  // An owned copy of `bytes` on the condition borrow() sets: what build()
  // would make of them, without looking at the copy again.
  static std::optional<Block> copy_unchanged(std::string_view bytes, size_t term_start);

  // An owned block rebuilt from a copy of `bytes` and both boundaries, as
  // pickled; nullopt when no block can have that state.
  static std::optional<Block> restore(std::string_view bytes, size_t title_end, size_t mdl_end);

  // An owned copy with the same boundaries.
  Block clone() const;

  std::string_view bytes() const noexcept { return storage_.bytes(); }
  bool is_mapped() const noexcept { return storage_.is_mapped(); }
  // Where the block's bytes start in the mapped file they are a slice of.
  std::optional<size_t> mapped_offset() const noexcept { return storage_.mapped_offset(); }
  size_t title_end() const noexcept { return title_end_; }

  // mdl_end, searched for on first need and cached. The cache write is not
  // an edit: every reader computes the same value.
  size_t mdl_end() const noexcept;

  size_t terminator_length() const noexcept;

  // "\r\n" or "\n": the ending of the title line (of the terminator for a
  // block without one). Every line the library adds to a block ends so.
  std::string_view title_line_ending() const noexcept;

  std::string_view title_line() const noexcept { return bytes().substr(0, title_end_); }
  std::string_view title() const noexcept;  // without trailing whitespace
  std::string_view molblock() const noexcept { return bytes().substr(0, mdl_end()); }
  std::string_view mdl() const noexcept;
  std::string_view ctab() const noexcept;  // the MDL without its first two lines
  std::string_view sd_data() const noexcept;
  std::string_view terminator() const noexcept;

  // Same bytes and the same boundaries.
  bool operator==(const Block& other) const noexcept;

  // Whether a reader of this block, its SD data replaced by `section` and
  // then `appended` (which starts a line), finds the records there: it
  // finds the MDL where the block has it, or there are none. Exact for an
  // MDL that a reader found; setting the molblock or MDL can make others.
  bool records_read_back(std::string_view section, std::string_view appended = {}) const;

  // Editing. Callers run the edit guard first; each primitive leaves the
  // block owned and its invariants true.
  ByteBuffer& make_owned(size_t spare) { return storage_.make_owned(spare); }
  void ensure_title_line();
  void replace_title(std::string_view title);
  void replace_molblock(std::string_view molblock);
  void replace_mdl(std::string_view mdl);
  // Swaps in new bytes whose title line and MDL are unchanged, as record
  // edits produce; the boundaries stay.
  void replace_bytes(ByteBuffer bytes) noexcept;

 private:
  Block(BlockStorage storage, size_t title_end, size_t mdl_end) noexcept
      : storage_(std::move(storage)), title_end_(title_end), mdl_end_(mdl_end) {}

  void locate_mdl_end() const noexcept;
  void assign(ByteBuffer bytes, size_t title_end, size_t mdl_end) noexcept;

  BlockStorage storage_;
  size_t title_end_;
  mutable size_t mdl_end_;
};

}  // namespace molbrook
