#include "core/table/column.hpp"

#include "core/records/record.hpp"

namespace molbrook {

Column::Column(ColumnType type) : type_(type) {}

std::shared_ptr<const Column> Column::nulls(ColumnType type, size_t rows) {
  auto column = std::make_shared<Column>(type);
  column->append_nulls(rows);
  return column;
}

Column Column::successor() const {
  Column next(type_);
  next.expected_text_bytes_ = data_.size();
  return next;
}

void Column::reserve(size_t rows) {
  validity_.reserve((rows + 7) / 8);
  switch (type_) {
    case ColumnType::Text:
      if (!is_large()) offsets_.reserve(rows + 1);
      reserve_text(expected_text_bytes_);
      break;
    case ColumnType::Int64:
      ints_.reserve(rows);
      break;
    case ColumnType::Float64:
      floats_.reserve(rows);
      break;
  }
}

// Writes out the nulls an all-null column only counted, before its first
// value.
void Column::materialise() {
  validity_.append(0, (length_ + 7) / 8);
  switch (type_) {
    case ColumnType::Text:
      offsets_.append(0, length_ + 1);
      break;
    case ColumnType::Int64:
      ints_.append(0, length_);
      break;
    case ColumnType::Float64:
      floats_.append(0, length_);
      break;
  }
}

void Column::push_validity(bool valid) {
  if (all_null()) materialise();
  if (length_ % 8 == 0) validity_.push_back(0);
  if (valid) {
    validity_.data()[length_ / 8] |= static_cast<uint8_t>(1u << (length_ % 8));
  } else {
    ++null_count_;
  }
  ++length_;
}

// Records where the cell just written ends, moving to 64-bit offsets the
// first time the data passes what 32 bits can address.
void Column::end_text_cell() {
  const size_t end = data_.size();
  data_.prefetch_ahead();
  if (!wide_offsets_.empty()) {
    wide_offsets_.push_back(static_cast<int64_t>(end));
    return;
  }
  if (end <= kNarrowTextBytes) {
    offsets_.push_back(static_cast<int32_t>(end));
    return;
  }
  for (size_t i = 0; i < offsets_.size(); ++i) wide_offsets_.push_back(offsets_.data()[i]);
  wide_offsets_.push_back(static_cast<int64_t>(end));
  offsets_ = {};
}

void Column::append_nulls(size_t count) {
  if (count == 0) return;
  // Unset bits are already zero: nulls only extend the bitmap.
  length_ += count;
  null_count_ += count;
  if (all_null()) return;
  validity_.append(0, (length_ + 7) / 8 - validity_.size());
  switch (type_) {
    case ColumnType::Text:
      if (is_large()) {
        wide_offsets_.append(wide_offsets_.back(), count);
      } else {
        offsets_.append(offsets_.back(), count);
      }
      break;
    case ColumnType::Int64:
      ints_.append(0, count);
      break;
    case ColumnType::Float64:
      floats_.append(0, count);
      break;
  }
}

void Column::append_text(std::string_view bytes) {
  push_validity(true);
  data_.append(bytes);
  end_text_cell();
}

void Column::append_folded_text(std::string_view bytes) {
  push_validity(true);
  append_folded(data_, bytes);
  end_text_cell();
}

void Column::append_parsed(std::string_view cell, const UnicodeDigits* str_digits) {
  if (type_ == ColumnType::Int64) {
    std::optional<int64_t> value = parse_int64(cell, str_digits);
    push_validity(value.has_value());
    ints_.push_back(value.value_or(0));
  } else {
    std::optional<double> value = parse_float64(cell, str_digits);
    push_validity(value.has_value());
    floats_.push_back(value.value_or(0));
  }
}

std::string_view Column::cell(size_t row) const noexcept {
  size_t start = is_large() ? static_cast<size_t>(wide_offsets_.data()[row]) : static_cast<size_t>(offsets_.data()[row]);
  size_t end =
      is_large() ? static_cast<size_t>(wide_offsets_.data()[row + 1]) : static_cast<size_t>(offsets_.data()[row + 1]);
  return data_.view().substr(start, end - start);
}

}  // namespace molbrook
