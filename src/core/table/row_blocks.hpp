// Rows of a table as SD blocks: a block per row, built from a molblock
// column (or an empty CTAB), a title column and record columns, or taken
// whole from a column of blocks. Each block is checked to read back as
// written before any of it is kept. Touches no Python object, so it runs
// without the interpreter lock.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/base/kind.hpp"
#include "core/base/result.hpp"
#include "core/block.hpp"
#include "core/table/arrow_column.hpp"

namespace molbrook {

// What the caller asks of a table, by column name.
struct BlockColumnNames {
  std::optional<std::string> title;
  std::optional<std::string> molblock;
  std::optional<std::string> block;
  // The record columns, in order; nullopt: every column but the three
  // above, or none with `block`.
  std::optional<std::vector<std::string>> records;
};

// The same, as column indices of the table.
struct BlockLayout {
  std::optional<size_t> title;
  std::optional<size_t> molblock;
  std::optional<size_t> block;
  std::vector<size_t> records;
  std::vector<std::string> names;  // the record name of each record column
};

struct LayoutError {
  enum class Kind {
    NoSuchColumn,
    ListedTwice,
    BadRecordName,   // empty, or holding "<", ">" or a line break
    BlockWithParts,  // whole blocks with a molblock or title column
  } kind;
  std::string name;  // the column
};

Result<BlockLayout, LayoutError> plan_layout(std::span<const std::string> columns, const BlockColumnNames& names);

// Why a row cannot be written.
struct RowFault {
  enum class Kind {
    NullBlock,        // no block in a column of whole blocks
    NotOneBlock,      // a value there that is not one block through its $$$$ line
    NoMEnd,           // a molblock without an M  END line after its title line
    AfterMEnd,        // a molblock with lines after its M  END line
    TerminatorLine,   // a $$$$ line, which would end the block
    BlankLine,        // a blank line in a record value, which would end the record
    CarriageReturn,   // a CR in a record value, which text reading takes for a line break
    LineBreak,        // a line break in a title
    NotUtf8,          // bytes that a text destination cannot take
    MalformedRecord,  // a record of a whole block without a <name>, so unsettable
    NoMEndForRecords,  // a whole block whose MDL no M  END line ends, so records set would not read back
  } kind;
  size_t row;     // in the batch
  size_t column;  // of the table
};

class RowBlockWriter {
 public:
  // `destination` is what the output is taken as: for str, byte-string
  // cells must be UTF-8.
  RowBlockWriter(BlockLayout layout, Kind destination) : layout_(std::move(layout)), utf8_(destination == Kind::Str) {}

  // Appends the blocks of rows [first, end) of a batch to `out`, stopping
  // once it holds `limit` bytes or more. Returns the row after the last
  // one written, or the fault of the first row that could not be, with
  // `out` as it was before that row.
  Result<size_t, RowFault> write(std::span<const ArrowColumn> columns, size_t first, size_t end, ByteBuffer& out,
                                 size_t limit);

 private:
  struct CellFault {
    RowFault::Kind kind;
    size_t column;
  };
  using RowResult = std::optional<CellFault>;

  RowResult write_row(std::span<const ArrowColumn> columns, size_t row, ByteBuffer& out);
  RowResult write_whole_block(std::span<const ArrowColumn> columns, size_t row, ByteBuffer& out);
  RowResult write_title(const ArrowColumn& column, size_t row, ByteBuffer& out);
  RowResult write_records(std::span<const ArrowColumn> columns, size_t row, std::string_view ending, ByteBuffer& out);
  RowResult set_records(std::span<const ArrowColumn> columns, size_t row, Block& block);
  // The text of a record cell in scratch_, checked to read back.
  RowResult cell_text(const ArrowColumn& column, size_t index, size_t row);

  BlockLayout layout_;
  bool utf8_;  // byte strings are checked to be UTF-8
  ByteBuffer scratch_;
};

}  // namespace molbrook
