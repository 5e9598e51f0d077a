// Builds record batches from blocks: a row per block, a column per record
// name, the cell being what a lookup by name returns (the last record of
// that name, CRLF read as LF). Touches no Python object, so it runs
// without the interpreter lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/base/kind.hpp"
#include "core/block.hpp"
#include "core/table/batch.hpp"
#include "core/table/name_table.hpp"
#include "core/text/utf8.hpp"

namespace molbrook {

// What stops a block from becoming a row.
struct RowError {
  enum class Kind { MalformedRecord, InvalidUtf8 } kind;
  std::string cell;  // InvalidUtf8: a copy of the cell's bytes
};

// Columns of a block's own bytes, before the record columns: its title,
// its molblock (title line through M  END), or the whole block.
enum class BlockPart : uint8_t { Title, Molblock, Block };

// The part's bytes, as SDBlock's title, molblock and bytes give them.
std::string_view block_part(const Block& block, BlockPart part) noexcept;

struct TableOptions {
  std::optional<std::vector<std::string>> names;  // nullopt: every name, in order of first appearance
  std::unordered_map<std::string, ColumnType> types;  // by name; Text when absent
  std::vector<BlockPart> parts;                        // the first columns, in order
  Kind kind = Kind::Str;                               // str: cells must be valid UTF-8
  const UnicodeDigits* str_digits = nullptr;           // typed cells read as str (else as bytes)
  size_t batch_rows = 0;  // the rows a batch is expected to reach, which a column reserves at its first value
};

class TableBuilder {
 public:
  explicit TableBuilder(TableOptions options);

  // Adds the block as a row; on an error no row is added.
  std::optional<RowError> add(const Block& block);

  size_t rows() const noexcept { return rows_; }
  // The record names of the columns, in order (the part columns aside).
  const std::vector<std::string>& names() const noexcept { return names_.names(); }
  // The batch so far; the builder is left empty.
  Batch finish();

 private:
  // The value of one record, kept until the block's last record of the
  // name is known.
  static constexpr size_t kNoRow = static_cast<size_t>(-1);
  struct Cell {
    std::string_view bytes;
    bool fold = false;
    size_t row = kNoRow;  // the row it belongs to; stale when not the current one
  };

  size_t add_column(std::string_view name);
  // Reserves a column's buffers at its first value of a batch.
  void reserve_first(Column& column) const;
  // Reserves the text columns' bytes for a whole first batch at the pace
  // of its rows so far: grown from nothing, a column's text is moved
  // several times a batch.
  void reserve_at_pace();
  void append_cell(Column& column, const Cell& cell) const;

  TableOptions options_;
  NameTable names_;
  // Per name. A column is padded with nulls only when it next gets a cell
  // and when the batch is finished, so that rows cost what they hold, not
  // what every name of the file adds.
  std::vector<Column> columns_;
  std::vector<Cell> cells_;
  std::vector<size_t> touched_;  // the columns with a cell in the current row
  std::vector<Column> parts_;  // per part of options_.parts
  size_t rows_ = 0;
  bool batch_before_ = false;  // whether a batch was finished
};

// The record names of blocks in order of first appearance, for a schema
// that must be known before the first batch.
class NameCollector {
 public:
  explicit NameCollector(Kind kind) noexcept : kind_(kind) {}

  std::optional<RowError> add(const Block& block);
  const std::vector<std::string>& names() const noexcept { return names_.names(); }

 private:
  NameTable names_;
  Kind kind_;
};

}  // namespace molbrook
