// Columns of record batches imported through the Arrow C data interface,
// read cell by cell as record text. The arrays stay the producer's: a
// view holds pointers into them and copies nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/base/result.hpp"
#include "core/table/arrow_abi.hpp"
#include "core/table/cell_text.hpp"

namespace molbrook {

// The Arrow types whose cells have a text: the rest (lists, structs,
// maps, unions, durations, intervals) have none.
enum class CellType : uint8_t {
  Null,
  Bool,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float16,
  Float32,
  Float64,
  Binary,       // 32-bit offsets
  LargeBinary,  // 64-bit offsets
  BinaryView,
  FixedBinary,
  Date32,
  Date64,
  Time32,
  Time64,
  Timestamp,
  Decimal,
};

struct ArrowType {
  CellType cell = CellType::Null;
  bool utf8 = false;               // a string type: its bytes are UTF-8
  TimeUnit unit = TimeUnit::Second;  // times and timestamps
  bool utc = false;                // a timestamp with a time zone, stored in UTC
  int32_t width = 0;               // bytes of fixed-size binary; bits of a decimal
  int32_t scale = 0;               // decimals

  // The cells are byte strings, written as they are.
  bool is_bytes() const noexcept {
    return cell == CellType::Binary || cell == CellType::LargeBinary || cell == CellType::BinaryView ||
           cell == CellType::FixedBinary;
  }
};

// The cell type of a column, through its dictionary when it has one (the
// index an integer, the values of any type here but another dictionary);
// nullopt for a type without a text.
std::optional<ArrowType> column_type(const ArrowSchema& schema) noexcept;

// An array that does not have the buffers its type needs.
struct MalformedArray {};

// The cells of one column of one batch.
class ArrowColumn {
 public:
  // `type` is column_type(schema); the array must outlive the view.
  static Result<ArrowColumn, MalformedArray> view(const ArrowSchema& schema, ArrowType type,
                                                  const ArrowArray& array) noexcept;

  const ArrowType& type() const noexcept { return values_.type; }
  bool is_null(size_t row) const noexcept;
  // Byte-string columns: the cell's bytes.
  std::string_view bytes(size_t row) const noexcept;
  // Appends the text of a cell that is not null.
  void append_text(ByteBuffer& out, size_t row) const;

 private:
  // One array: the column's, or its dictionary's values.
  struct Level {
    ArrowType type;
    const ArrowArray* array = nullptr;

    bool is_valid(size_t index) const noexcept;
    std::string_view bytes(size_t index) const noexcept;
    int64_t integer(size_t index) const noexcept;
    void append_text(ByteBuffer& out, size_t index) const;
    void append_decimal_text(ByteBuffer& out, size_t index) const;
    template <class T>
    T value(size_t index) const noexcept;
  };

  static Result<Level, MalformedArray> level(ArrowType type, const ArrowArray& array) noexcept;
  size_t value_index(size_t row) const noexcept;

  std::optional<Level> indices_;  // set for a dictionary column
  Level values_;
};

}  // namespace molbrook
