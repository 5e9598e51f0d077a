#include "core/table/arrow_column.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace molbrook {
namespace {

std::optional<TimeUnit> time_unit(char code) noexcept {
  switch (code) {
    case 's':
      return TimeUnit::Second;
    case 'm':
      return TimeUnit::Milli;
    case 'u':
      return TimeUnit::Micro;
    case 'n':
      return TimeUnit::Nano;
    default:
      return std::nullopt;
  }
}

std::optional<int32_t> parse_int(std::string_view text) noexcept {
  int32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "d:precision,scale[,bits]".
std::optional<ArrowType> decimal_type(std::string_view spec) noexcept {
  size_t comma = spec.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view rest = spec.substr(comma + 1);
  size_t second = rest.find(',');
  std::optional<int32_t> scale = parse_int(rest.substr(0, second));
  std::optional<int32_t> bits = second == std::string_view::npos ? 128 : parse_int(rest.substr(second + 1));
  if (!scale || !bits || (*bits != 32 && *bits != 64 && *bits != 128 && *bits != 256)) return std::nullopt;
  return ArrowType{.cell = CellType::Decimal, .width = *bits, .scale = *scale};
}

// Types whose format is more than one character.
std::optional<ArrowType> parameterised_type(std::string_view format) noexcept {
  if (format == "vz" || format == "vu") return ArrowType{.cell = CellType::BinaryView, .utf8 = format == "vu"};
  if (format == "tdD") return ArrowType{.cell = CellType::Date32};
  if (format == "tdm") return ArrowType{.cell = CellType::Date64};
  if (format.starts_with("d:")) return decimal_type(format.substr(2));
  if (format.starts_with("w:")) {
    std::optional<int32_t> width = parse_int(format.substr(2));
    if (!width || *width < 0) return std::nullopt;
    return ArrowType{.cell = CellType::FixedBinary, .width = *width};
  }
  if (format.size() == 3 && format.starts_with("tt")) {
    std::optional<TimeUnit> unit = time_unit(format[2]);
    if (!unit) return std::nullopt;
    bool narrow = *unit == TimeUnit::Second || *unit == TimeUnit::Milli;
    return ArrowType{.cell = narrow ? CellType::Time32 : CellType::Time64, .unit = *unit};
  }
  if (format.size() >= 4 && format.starts_with("ts") && format[3] == ':') {
    std::optional<TimeUnit> unit = time_unit(format[2]);
    if (!unit) return std::nullopt;
    return ArrowType{.cell = CellType::Timestamp, .unit = *unit, .utc = format.size() > 4};
  }
  return std::nullopt;
}

std::optional<ArrowType> storage_type(std::string_view format) noexcept {
  if (format.size() != 1) return parameterised_type(format);
  switch (format[0]) {
    case 'n':
      return ArrowType{.cell = CellType::Null};
    case 'b':
      return ArrowType{.cell = CellType::Bool};
    case 'c':
      return ArrowType{.cell = CellType::Int8};
    case 's':
      return ArrowType{.cell = CellType::Int16};
    case 'i':
      return ArrowType{.cell = CellType::Int32};
    case 'l':
      return ArrowType{.cell = CellType::Int64};
    case 'C':
      return ArrowType{.cell = CellType::UInt8};
    case 'S':
      return ArrowType{.cell = CellType::UInt16};
    case 'I':
      return ArrowType{.cell = CellType::UInt32};
    case 'L':
      return ArrowType{.cell = CellType::UInt64};
    case 'e':
      return ArrowType{.cell = CellType::Float16};
    case 'f':
      return ArrowType{.cell = CellType::Float32};
    case 'g':
      return ArrowType{.cell = CellType::Float64};
    case 'z':
      return ArrowType{.cell = CellType::Binary};
    case 'u':
      return ArrowType{.cell = CellType::Binary, .utf8 = true};
    case 'Z':
      return ArrowType{.cell = CellType::LargeBinary};
    case 'U':
      return ArrowType{.cell = CellType::LargeBinary, .utf8 = true};
    default:
      return std::nullopt;
  }
}

bool is_integer(CellType cell) noexcept { return cell >= CellType::Int8 && cell <= CellType::UInt64; }

// The buffers an array of the type has, the validity bitmap first: views
// have data buffers and their sizes after the views.
int64_t buffer_count(CellType cell) noexcept {
  switch (cell) {
    case CellType::Null:
      return 0;
    case CellType::Binary:
    case CellType::LargeBinary:
    case CellType::BinaryView:
      return 3;
    default:
      return 2;
  }
}

// The data of offsets [first, last] into a buffer that may be missing
// only when it holds nothing.
template <class Offset>
bool has_data(const ArrowArray& array) noexcept {
  const auto* offsets = static_cast<const Offset*>(array.buffers[1]);
  return array.buffers[2] != nullptr || offsets[array.offset] == offsets[array.offset + array.length];
}

double half_to_double(uint16_t bits) noexcept {
  const int exponent = bits >> 10 & 0x1f;
  const int fraction = bits & 0x3ff;
  double magnitude;
  if (exponent == 0) {
    magnitude = std::ldexp(fraction, -24);
  } else if (exponent == 0x1f) {
    magnitude = fraction == 0 ? INFINITY : NAN;
  } else {
    magnitude = std::ldexp(fraction | 0x400, exponent - 25);
  }
  return bits & 0x8000 ? -magnitude : magnitude;
}

// A view cell: its length, then the bytes inline when 12 or fewer, else
// a prefix, the index of the data buffer and the offset in it.
struct ViewCell {
  int32_t length;
  int32_t prefix;
  int32_t buffer;
  int32_t offset;
};

constexpr int32_t kInlineView = 12;

// Every long view of a view array points into one of its data buffers.
bool views_in_range(const ArrowArray& array) noexcept {
  const auto* views = static_cast<const ViewCell*>(array.buffers[1]);
  const int64_t data_buffers = array.n_buffers - 3;
  for (int64_t i = array.offset; i < array.offset + array.length; ++i) {
    const ViewCell& view = views[i];
    if (view.length <= kInlineView) continue;
    if (view.buffer < 0 || view.buffer >= data_buffers || array.buffers[2 + view.buffer] == nullptr) return false;
  }
  return true;
}

// The buffers that cells of the array are read from are there.
bool has_buffers(ArrowType type, const ArrowArray& array) noexcept {
  if (array.length == 0 || type.cell == CellType::Null) return true;
  const bool values = array.buffers[1] != nullptr || (type.cell == CellType::FixedBinary && type.width == 0);
  if (!values) return false;
  switch (type.cell) {
    case CellType::Binary:
      return has_data<int32_t>(array);
    case CellType::LargeBinary:
      return has_data<int64_t>(array);
    case CellType::BinaryView:
      return views_in_range(array);
    default:
      return true;
  }
}

}  // namespace

std::optional<ArrowType> column_type(const ArrowSchema& schema) noexcept {
  if (schema.format == nullptr) return std::nullopt;
  std::optional<ArrowType> type = storage_type(schema.format);
  if (schema.dictionary == nullptr) return type;
  if (!type || !is_integer(type->cell) || schema.dictionary->dictionary != nullptr) return std::nullopt;
  return column_type(*schema.dictionary);
}

Result<ArrowColumn::Level, MalformedArray> ArrowColumn::level(ArrowType type, const ArrowArray& array) noexcept {
  if (array.length < 0 || array.offset < 0 || array.n_buffers < buffer_count(type.cell) ||
      (array.n_buffers > 0 && array.buffers == nullptr) || !has_buffers(type, array)) {
    return MalformedArray{};
  }
  return Level{type, &array};
}

Result<ArrowColumn, MalformedArray> ArrowColumn::view(const ArrowSchema& schema, ArrowType type,
                                                      const ArrowArray& array) noexcept {
  ArrowColumn column;
  if (schema.dictionary != nullptr) {
    std::optional<ArrowType> index_type = storage_type(schema.format);
    if (!index_type || array.dictionary == nullptr) return MalformedArray{};
    Result<Level, MalformedArray> indices = level(*index_type, array);
    if (!indices) return MalformedArray{};
    column.indices_ = *indices;
    Result<Level, MalformedArray> values = level(type, *array.dictionary);
    if (!values) return MalformedArray{};
    column.values_ = *values;
    return column;
  }
  Result<Level, MalformedArray> values = level(type, array);
  if (!values) return MalformedArray{};
  column.values_ = *values;
  return column;
}

// An index past the dictionary reads as null rather than past its end.
size_t ArrowColumn::value_index(size_t row) const noexcept {
  if (!indices_) return row;
  int64_t index = indices_->integer(row);
  return index >= 0 && index < values_.array->length ? static_cast<size_t>(index) : SIZE_MAX;
}

bool ArrowColumn::is_null(size_t row) const noexcept {
  if (indices_ && !indices_->is_valid(row)) return true;
  size_t index = value_index(row);
  return index == SIZE_MAX || !values_.is_valid(index);
}

std::string_view ArrowColumn::bytes(size_t row) const noexcept { return values_.bytes(value_index(row)); }

void ArrowColumn::append_text(ByteBuffer& out, size_t row) const { values_.append_text(out, value_index(row)); }

bool ArrowColumn::Level::is_valid(size_t index) const noexcept {
  if (type.cell == CellType::Null) return false;
  const auto* validity = static_cast<const uint8_t*>(array->buffers[0]);
  if (validity == nullptr) return true;
  const size_t at = index + static_cast<size_t>(array->offset);
  return (validity[at / 8] >> (at % 8) & 1) != 0;
}

template <class T>
T ArrowColumn::Level::value(size_t index) const noexcept {
  const size_t at = index + static_cast<size_t>(array->offset);
  T value;
  std::memcpy(&value, static_cast<const char*>(array->buffers[1]) + at * sizeof(T), sizeof(T));
  return value;
}

int64_t ArrowColumn::Level::integer(size_t index) const noexcept {
  switch (type.cell) {
    case CellType::Int8:
      return value<int8_t>(index);
    case CellType::Int16:
      return value<int16_t>(index);
    case CellType::Int32:
      return value<int32_t>(index);
    case CellType::UInt8:
      return value<uint8_t>(index);
    case CellType::UInt16:
      return value<uint16_t>(index);
    case CellType::UInt32:
      return value<uint32_t>(index);
    case CellType::UInt64: {
      uint64_t unsigned_value = value<uint64_t>(index);
      return unsigned_value > INT64_MAX ? -1 : static_cast<int64_t>(unsigned_value);
    }
    default:
      return value<int64_t>(index);
  }
}

std::string_view ArrowColumn::Level::bytes(size_t index) const noexcept {
  const size_t at = index + static_cast<size_t>(array->offset);
  const auto* data = static_cast<const char*>(array->buffers[2]);
  switch (type.cell) {
    case CellType::Binary: {
      const auto* offsets = static_cast<const int32_t*>(array->buffers[1]);
      return {data + offsets[at], static_cast<size_t>(offsets[at + 1] - offsets[at])};
    }
    case CellType::LargeBinary: {
      const auto* offsets = static_cast<const int64_t*>(array->buffers[1]);
      return {data + offsets[at], static_cast<size_t>(offsets[at + 1] - offsets[at])};
    }
    case CellType::BinaryView: {
      const auto* cell = static_cast<const ViewCell*>(array->buffers[1]) + at;
      const auto length = static_cast<size_t>(cell->length);
      if (cell->length <= kInlineView) return {reinterpret_cast<const char*>(cell) + 4, length};
      return {static_cast<const char*>(array->buffers[2 + cell->buffer]) + cell->offset, length};
    }
    case CellType::FixedBinary: {
      const auto width = static_cast<size_t>(type.width);
      return {static_cast<const char*>(array->buffers[1]) + at * width, width};
    }
    default:
      return {};
  }
}

void ArrowColumn::Level::append_text(ByteBuffer& out, size_t index) const {
  switch (type.cell) {
    case CellType::Null:
      return;
    case CellType::Bool: {
      const size_t at = index + static_cast<size_t>(array->offset);
      append_bool(out, (static_cast<const uint8_t*>(array->buffers[1])[at / 8] >> (at % 8) & 1) != 0);
      return;
    }
    case CellType::Int8:
    case CellType::Int16:
    case CellType::Int32:
    case CellType::Int64:
    case CellType::UInt8:
    case CellType::UInt16:
    case CellType::UInt32:
      append_int(out, integer(index));
      return;
    case CellType::UInt64:
      append_uint(out, value<uint64_t>(index));
      return;
    case CellType::Float16:
      append_double(out, half_to_double(value<uint16_t>(index)));
      return;
    case CellType::Float32:
      append_double(out, value<float>(index));
      return;
    case CellType::Float64:
      append_double(out, value<double>(index));
      return;
    case CellType::Binary:
    case CellType::LargeBinary:
    case CellType::BinaryView:
    case CellType::FixedBinary:
      out.append(bytes(index));
      return;
    case CellType::Date32:
      append_date(out, value<int32_t>(index));
      return;
    case CellType::Date64: {
      constexpr int64_t kMillisPerDay = 86400000;
      const int64_t millis = value<int64_t>(index);
      append_date(out, millis / kMillisPerDay - (millis % kMillisPerDay < 0 ? 1 : 0));
      return;
    }
    case CellType::Time32:
      append_time(out, value<int32_t>(index), type.unit);
      return;
    case CellType::Time64:
      append_time(out, value<int64_t>(index), type.unit);
      return;
    case CellType::Timestamp:
      append_timestamp(out, value<int64_t>(index), type.unit, type.utc);
      return;
    case CellType::Decimal:
      append_decimal_text(out, index);
      return;
  }
}

// 32- and 64-bit decimals widened to a word, sign included; wider ones
// are their words as stored.
void ArrowColumn::Level::append_decimal_text(ByteBuffer& out, size_t index) const {
  uint64_t words[4];
  size_t count = 1;
  if (type.width == 32) {
    words[0] = static_cast<uint64_t>(static_cast<int64_t>(value<int32_t>(index)));
  } else if (type.width == 64) {
    words[0] = static_cast<uint64_t>(value<int64_t>(index));
  } else {
    count = static_cast<size_t>(type.width) / 64;
    const size_t at = index + static_cast<size_t>(array->offset);
    std::memcpy(words, static_cast<const char*>(array->buffers[1]) + at * count * 8, count * 8);
  }
  append_decimal(out, {words, count}, type.scale);
}

}  // namespace molbrook
