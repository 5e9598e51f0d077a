// Reading the data file an index describes: its bytes as stored, and its
// bytes as read (the same for a plain file; decompressed for BGZF, which
// the Python layer inflates).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/base/buffer.hpp"
#include "core/index/index_file.hpp"
#include "core/platform/file.hpp"

namespace molbrook {

class IndexedData {
 public:
  virtual ~IndexedData() = default;

  // The file's bytes [offset, offset + size) into `out`, fewer where the
  // file ends; false on a failure, which the implementation records.
  virtual bool read_file(uint64_t offset, size_t size, ByteBuffer& out) = 0;

  // The data's bytes [from, to) into `out`, which blocks [first, last) of
  // `index` cover: index.start(first) <= from <= to <= index.start(last).
  virtual bool read_data(const IndexView& index, uint64_t first, uint64_t last, uint64_t from, uint64_t to,
                         ByteBuffer& out) = 0;
};

// A plain file, read at offsets: safe from any number of threads at once.
class PlainData : public IndexedData {
 public:
  explicit PlainData(const platform::File& file) noexcept : file_(file) {}

  bool read_file(uint64_t offset, size_t size, ByteBuffer& out) override;
  bool read_data(const IndexView&, uint64_t, uint64_t, uint64_t from, uint64_t to, ByteBuffer& out) override {
    return read_file(from, static_cast<size_t>(to - from), out);
  }

  // The error of the last failed read.
  platform::SystemError error() const noexcept { return error_; }

 private:
  const platform::File& file_;
  platform::SystemError error_{0};
};

}  // namespace molbrook
