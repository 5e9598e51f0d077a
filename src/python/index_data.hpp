// The data file behind an SDIndex: read at offsets without the
// interpreter lock, BGZF members inflated by molbrook._bgzf, and the
// blocks of an ordinal range cut out of what is read.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/base/kind.hpp"
#include "core/block.hpp"
#include "core/index/index_file.hpp"
#include "core/index/indexed_data.hpp"
#include "core/platform/file.hpp"
#include "ref.hpp"

namespace molbrook::py {

// Reads need the interpreter lock held on entry; plain reads release it.
// A failed read leaves a Python exception set.
class DataFile : public IndexedData {
 public:
  // `inflate` is molbrook._bgzf.inflate for BGZF data, else null; `path`
  // names the file in errors.
  DataFile(platform::File file, Ref path, Ref inflate) noexcept
      : file_(std::move(file)), path_(std::move(path)), inflate_(std::move(inflate)) {}
  // Data that is no local file: `read_at(offset, size) -> bytes`, a Python
  // callable, reads it (fewer bytes only at its end).
  DataFile(Ref read_at, Ref path, Ref inflate) noexcept
      : read_at_(std::move(read_at)), path_(std::move(path)), inflate_(std::move(inflate)) {}

  bool read_file(uint64_t offset, size_t size, ByteBuffer& out) override;
  bool read_data(const IndexView& index, uint64_t first, uint64_t last, uint64_t from, uint64_t to,
                 ByteBuffer& out) override;

  const platform::File& file() const noexcept { return file_; }
  bool is_local() const noexcept { return !read_at_; }
  PyObject* path() const noexcept { return path_.get(); }
  bool is_bgzf() const noexcept { return static_cast<bool>(inflate_); }
  int traverse(visitproc visit, void* arg) const noexcept;

 private:
  bool read_through_python(uint64_t offset, size_t size, ByteBuffer& out);

  platform::File file_;
  Ref read_at_;
  Ref path_;
  Ref inflate_;
};

// The block at `ordinal` of `index`, cut as parse_sdf cuts it (str
// translates line endings) out of `data`, the data read from offset `from`
// on; nullopt when the data no longer holds it where the index says.
std::optional<Block> cut_indexed_block(const IndexView& index, Kind kind, std::string_view data, uint64_t from,
                                       uint64_t ordinal);

// ValueError for a data file that no longer holds the blocks where its
// index says; false for tail calls.
bool raise_changed_data(const DataFile& data) noexcept;

// The blocks [first, last) of `index`, cut as cut_indexed_block cuts them;
// ValueError when the file no longer holds them where the index says.
std::optional<std::vector<Block>> read_blocks(DataFile& data, const IndexView& index, Kind kind, uint64_t first,
                                              uint64_t last);

}  // namespace molbrook::py
