// One column of a record batch, laid out as Arrow lays it out: a validity
// bitmap, and 32-bit offsets with the bytes of every cell (text columns)
// or a value per row (int64 and float64 columns). The builder appends
// cells; the Arrow export hands the buffers over without a copy. A column
// that has met only nulls holds no buffers: most record names of a file
// are absent from most batches, and their padding would cost more than
// the cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/text/number.hpp"
#include "core/table/pod_buffer.hpp"

namespace molbrook {

enum class ColumnType : uint8_t { Text, Int64, Float64 };

// The most bytes of text cells that 32-bit offsets address.
inline constexpr size_t kNarrowTextBytes = INT32_MAX;

class Column {
 public:
  explicit Column(ColumnType type);
  // `rows` nulls, which cost no buffers.
  static std::shared_ptr<const Column> nulls(ColumnType type, size_t rows);

  ColumnType type() const noexcept { return type_; }
  size_t length() const noexcept { return length_; }
  size_t null_count() const noexcept { return null_count_; }
  // No buffers: every cell is null (and so is every buffer pointer).
  bool all_null() const noexcept { return validity_.empty(); }

  // An empty column of the same type for the next batch, which reserves
  // the text bytes this one holds: a file's batches mostly resemble each
  // other, and a text buffer grown from nothing is moved several times a
  // batch (on a worker thread's arena, its old pages are given back and the
  // new ones faulted in again).
  Column successor() const;
  // Room for `rows` rows of validity, offsets or values, and for the text
  // bytes a predecessor held.
  void reserve(size_t rows);
  // Room for text cells expected to hold `bytes` bytes in all, and an
  // eighth more, so that a batch a little longer than expected is not
  // moved once near its end.
  void reserve_text(size_t bytes) { data_.reserve(bytes + bytes / 8); }
  void append_null() { append_nulls(1); }
  void append_nulls(size_t count);
  // Text columns: the cell's bytes, or with every CRLF read as LF.
  void append_text(std::string_view bytes);
  void append_folded_text(std::string_view bytes);
  // Typed columns: the value int() or float() reads in the cell, or null;
  // `str_digits` as parse_int64 takes them.
  void append_parsed(std::string_view cell, const UnicodeDigits* str_digits);

  // Text cells whose bytes passed 2 GiB need 64-bit offsets ("large").
  bool is_large() const noexcept { return !wide_offsets_.empty(); }
  // The bytes of every text cell.
  size_t text_bytes() const noexcept { return data_.size(); }
  std::string_view cell(size_t row) const noexcept;
  bool is_valid(size_t row) const noexcept { return !all_null() && (validity_.data()[row / 8] >> (row % 8) & 1); }

  const uint8_t* validity() const noexcept { return validity_.data(); }
  const int32_t* offsets() const noexcept { return offsets_.data(); }
  const int64_t* wide_offsets() const noexcept { return wide_offsets_.data(); }
  const char* data() const noexcept { return data_.data(); }
  const int64_t* int64_values() const noexcept { return ints_.data(); }
  const double* float64_values() const noexcept { return floats_.data(); }

 private:
  void materialise();
  void push_validity(bool valid);
  void end_text_cell();

  ColumnType type_;
  size_t expected_text_bytes_ = 0;
  size_t length_ = 0;
  size_t null_count_ = 0;
  PodBuffer<uint8_t> validity_;
  PodBuffer<int32_t> offsets_;       // text, while the data fits 32 bits
  PodBuffer<int64_t> wide_offsets_;  // text, once it no longer does
  ByteBuffer data_;
  PodBuffer<int64_t> ints_;
  PodBuffer<double> floats_;
};

}  // namespace molbrook
