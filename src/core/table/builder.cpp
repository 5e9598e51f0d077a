#include "core/table/builder.hpp"

#include <memory>
#include <utility>

#include "core/records/record.hpp"

namespace molbrook {
namespace {

// The rows a table's first batch reads before its text columns reserve
// what the batch will hold at the pace seen so far; later batches reserve
// what the batch before held (Column::successor).
constexpr size_t kPacedRows = 1024;

ColumnType type_of(const TableOptions& options, std::string_view name) {
  auto found = options.types.find(std::string(name));
  return found == options.types.end() ? ColumnType::Text : found->second;
}

// A str cell or name that is not UTF-8.
std::optional<RowError> utf8_error(Kind kind, std::string_view bytes) {
  if (kind == Kind::Bytes || is_ascii(bytes) || !find_invalid_utf8(bytes)) return std::nullopt;
  return RowError{RowError::Kind::InvalidUtf8, std::string(bytes)};
}

}  // namespace

std::string_view block_part(const Block& block, BlockPart part) noexcept {
  switch (part) {
    case BlockPart::Title:
      return block.title();
    case BlockPart::Molblock:
      return block.molblock();
    case BlockPart::Block:
      return block.bytes();
  }
  return {};
}

TableBuilder::TableBuilder(TableOptions options) : options_(std::move(options)) {
  if (options_.names) {
    for (const std::string& name : *options_.names) {
      names_.add(name);
      columns_.emplace_back(type_of(options_, name));
      cells_.emplace_back();
    }
  }
  for (size_t i = 0; i < options_.parts.size(); ++i) parts_.emplace_back(ColumnType::Text);
}

// A column for a name met first in this row: null in the rows before.
size_t TableBuilder::add_column(std::string_view name) {
  size_t column = names_.add(name);
  columns_.emplace_back(type_of(options_, name));
  cells_.emplace_back();
  return column;
}

void TableBuilder::reserve_first(Column& column) const {
  if (column.all_null()) column.reserve(options_.batch_rows);
}

void TableBuilder::append_cell(Column& column, const Cell& cell) const {
  reserve_first(column);
  column.append_nulls(rows_ - column.length());
  if (column.type() != ColumnType::Text) {
    column.append_parsed(cell.bytes, options_.str_digits);
  } else if (cell.fold) {
    column.append_folded_text(cell.bytes);
  } else {
    column.append_text(cell.bytes);
  }
}

std::optional<RowError> TableBuilder::add(const Block& block) {
  const std::string_view section = record_section(block);
  for (BlockPart part : options_.parts) {
    if (auto error = utf8_error(options_.kind, block_part(block, part))) return error;
  }
  std::optional<RowError> error;
  names_.restart();
  touched_.clear();
  bool well_formed = visit_records(section, [&](const ScannedRecord& record) {
    if (error) return;
    std::string_view name = record.name(section);
    std::optional<size_t> column = names_.find(name);
    if (!column) {
      if (options_.names) return;
      if ((error = utf8_error(options_.kind, name))) return;
      column = add_column(name);
    }
    RecordValue value = record_value(section, record);
    Cell& cell = cells_[*column];
    if (cell.row != rows_) touched_.push_back(*column);
    cell = Cell{section.substr(value.start, value.end - value.start), value.fold, rows_};
  });
  if (!well_formed) error = RowError{RowError::Kind::MalformedRecord, {}};
  // Most sections are ASCII throughout: one pass over the whole section
  // spares checking each of its cells.
  const bool checked = options_.kind == Kind::Bytes || is_ascii(section);
  for (size_t column : touched_) {
    if (error || checked) break;
    if (columns_[column].type() == ColumnType::Text) error = utf8_error(options_.kind, cells_[column].bytes);
  }
  if (error) {
    for (size_t column : touched_) cells_[column].row = kNoRow;
    return error;
  }
  for (size_t i = 0; i < parts_.size(); ++i) {
    reserve_first(parts_[i]);
    parts_[i].append_text(block_part(block, options_.parts[i]));
  }
  for (size_t column : touched_) append_cell(columns_[column], cells_[column]);
  ++rows_;
  if (rows_ == kPacedRows && !batch_before_) reserve_at_pace();
  return std::nullopt;
}

void TableBuilder::reserve_at_pace() {
  if (options_.batch_rows <= rows_) return;
  auto reserve = [this](Column& column) {
    if (column.type() != ColumnType::Text || column.all_null()) return;
    // Multiplied first, so that a sparse column holding fewer bytes than
    // rows still reserves (a batch of rows times its bytes is far from
    // overflowing).
    column.reserve_text(column.text_bytes() * options_.batch_rows / rows_);
  };
  for (Column& part : parts_) reserve(part);
  for (Column& column : columns_) reserve(column);
}

Batch TableBuilder::finish() {
  Batch batch;
  batch.rows = std::exchange(rows_, 0);
  batch_before_ = true;
  for (Column& part : parts_) {
    batch.columns.push_back(std::make_shared<const Column>(std::exchange(part, part.successor())));
  }
  for (Column& column : columns_) {
    column.append_nulls(batch.rows - column.length());
    batch.columns.push_back(std::make_shared<const Column>(std::exchange(column, column.successor())));
  }
  for (Cell& cell : cells_) cell.row = kNoRow;
  return batch;
}

std::optional<RowError> NameCollector::add(const Block& block) {
  const std::string_view section = record_section(block);
  std::optional<RowError> error;
  names_.restart();
  bool well_formed = visit_records(section, [&](const ScannedRecord& record) {
    std::string_view name = record.name(section);
    if (error || names_.find(name)) return;
    if ((error = utf8_error(kind_, name))) return;
    names_.add(name);
  });
  if (!well_formed) return RowError{RowError::Kind::MalformedRecord, {}};
  return error;
}

}  // namespace molbrook
