#include "core/table/row_blocks.hpp"

#include <algorithm>
#include <unordered_set>

#include "core/records/edit.hpp"
#include "core/records/readable.hpp"
#include "core/read/splitter.hpp"
#include "core/text/lines.hpp"
#include "core/text/utf8.hpp"

namespace molbrook {
namespace {

// The lines after the title line of a molblock without atoms: the program
// and comment lines empty, a counts line of zeros, M  END.
constexpr std::string_view kEmptyCtab = "\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n";

// What stops a value from reading back as one record value.
std::optional<RowFault::Kind> value_fault(std::string_view value) noexcept {
  std::optional<Unreadable> problem = unreadable_value(value);
  if (!problem) return std::nullopt;
  switch (*problem) {
    case Unreadable::BlankLine:
      return RowFault::Kind::BlankLine;
    case Unreadable::TerminatorLine:
      return RowFault::Kind::TerminatorLine;
    default:
      return RowFault::Kind::CarriageReturn;
  }
}

std::optional<RowFault::Kind> title_fault(std::string_view title) noexcept {
  if (title.find_first_of("\r\n") != std::string_view::npos) return RowFault::Kind::LineBreak;
  if (title.starts_with(kDollars)) return RowFault::Kind::TerminatorLine;
  return std::nullopt;
}

// A molblock taken apart: its title line, the rest through its M  END
// line, and the ending of its lines.
struct Molblock {
  std::string_view title_line;
  std::string_view body;
  std::string_view ending;
};

Result<Molblock, RowFault::Kind> split_molblock(std::string_view molblock, bool keeps_title) noexcept {
  const size_t title_end = next_line_end(molblock, 0);
  const std::string_view body = molblock.substr(title_end);
  const std::optional<size_t> mdl_end = title_end < molblock.size() ? find_mdl_end(body) : std::nullopt;
  if (!mdl_end) return RowFault::Kind::NoMEnd;
  if (*mdl_end != body.size()) return RowFault::Kind::AfterMEnd;
  // Searched as text reading searches, which also starts lines after a CR.
  if (find_block_end(keeps_title ? molblock : body, Kind::Str).found) return RowFault::Kind::TerminatorLine;
  return Molblock{molblock.substr(0, title_end), body, first_line_ending(molblock)};
}

bool is_unchecked_utf8(const ArrowColumn& column) noexcept { return column.type().is_bytes() && !column.type().utf8; }

}  // namespace

Result<BlockLayout, LayoutError> plan_layout(std::span<const std::string> columns, const BlockColumnNames& names) {
  auto index_of = [&columns](const std::string& name) -> std::optional<size_t> {
    auto found = std::find(columns.begin(), columns.end(), name);
    if (found == columns.end()) return std::nullopt;
    return static_cast<size_t>(found - columns.begin());
  };
  BlockLayout layout;
  const std::pair<const std::optional<std::string>*, std::optional<size_t>*> parts[] = {
      {&names.title, &layout.title}, {&names.molblock, &layout.molblock}, {&names.block, &layout.block}};
  for (auto [name, index] : parts) {
    if (!*name) continue;
    *index = index_of(**name);
    if (!*index) return LayoutError{LayoutError::Kind::NoSuchColumn, **name};
  }
  if (layout.block && (layout.title || layout.molblock)) {
    return LayoutError{LayoutError::Kind::BlockWithParts, *names.block};
  }
  if (names.records) {
    layout.names = *names.records;
  } else if (!layout.block) {
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i != layout.title && i != layout.molblock) layout.names.push_back(columns[i]);
    }
  }
  std::unordered_set<std::string_view> seen;
  for (const std::string& name : layout.names) {
    std::optional<size_t> index = index_of(name);
    if (!index) return LayoutError{LayoutError::Kind::NoSuchColumn, name};
    if (!seen.insert(name).second) return LayoutError{LayoutError::Kind::ListedTwice, name};
    if (unreadable_name(name)) return LayoutError{LayoutError::Kind::BadRecordName, name};
    layout.records.push_back(*index);
  }
  return layout;
}

Result<size_t, RowFault> RowBlockWriter::write(std::span<const ArrowColumn> columns, size_t first, size_t end,
                                               ByteBuffer& out, size_t limit) {
  for (size_t row = first; row < end; ++row) {
    if (out.size() >= limit) return row;
    const size_t start = out.size();
    if (RowResult fault = layout_.block ? write_whole_block(columns, row, out) : write_row(columns, row, out)) {
      out.set_size(start);
      return RowFault{fault->kind, row, fault->column};
    }
  }
  return end;
}

// A null title keeps the molblock's own title line, as a null record
// value sets nothing.
RowBlockWriter::RowResult RowBlockWriter::write_row(std::span<const ArrowColumn> columns, size_t row,
                                                    ByteBuffer& out) {
  const bool new_title = layout_.title && !columns[*layout_.title].is_null(row);
  Molblock molblock{{}, kEmptyCtab, kLF};
  if (layout_.molblock && !columns[*layout_.molblock].is_null(row)) {
    const size_t index = *layout_.molblock;
    const std::string_view bytes = columns[index].bytes(row);
    if (utf8_ && is_unchecked_utf8(columns[index]) && find_invalid_utf8(bytes)) {
      return CellFault{RowFault::Kind::NotUtf8, index};
    }
    Result<Molblock, RowFault::Kind> split = split_molblock(bytes, !new_title);
    if (!split) return CellFault{split.error(), index};
    molblock = *split;
  }
  if (new_title) {
    if (RowResult fault = write_title(columns[*layout_.title], row, out)) return fault;
    out.append(molblock.ending);
  } else {
    out.append(molblock.title_line.empty() ? molblock.ending : molblock.title_line);
  }
  out.append(molblock.body);
  if (!molblock.body.ends_with('\n')) out.append(molblock.body.ends_with('\r') ? kLF : molblock.ending);
  if (RowResult fault = write_records(columns, row, molblock.ending, out)) return fault;
  out.append(kDollars);
  out.append(molblock.ending);
  return std::nullopt;
}

RowBlockWriter::RowResult RowBlockWriter::write_title(const ArrowColumn& column, size_t row, ByteBuffer& out) {
  const size_t index = *layout_.title;
  const size_t start = out.size();
  column.append_text(out, row);
  const std::string_view title = out.view().substr(start);
  if (std::optional<RowFault::Kind> fault = title_fault(title)) return CellFault{*fault, index};
  if (utf8_ && is_unchecked_utf8(column) && find_invalid_utf8(title)) return CellFault{RowFault::Kind::NotUtf8, index};
  return std::nullopt;
}

RowBlockWriter::RowResult RowBlockWriter::cell_text(const ArrowColumn& column, size_t index, size_t row) {
  scratch_.clear();
  column.append_text(scratch_, row);
  if (!column.type().is_bytes()) return std::nullopt;  // numbers, dates and times are one line
  if (std::optional<RowFault::Kind> fault = value_fault(scratch_.view())) return CellFault{*fault, index};
  if (utf8_ && !column.type().utf8 && find_invalid_utf8(scratch_.view())) {
    return CellFault{RowFault::Kind::NotUtf8, index};
  }
  return std::nullopt;
}

RowBlockWriter::RowResult RowBlockWriter::write_records(std::span<const ArrowColumn> columns, size_t row,
                                                        std::string_view ending, ByteBuffer& out) {
  for (size_t i = 0; i < layout_.records.size(); ++i) {
    const size_t index = layout_.records[i];
    if (columns[index].is_null(row)) continue;
    if (RowResult fault = cell_text(columns[index], index, row)) return fault;
    write_new_record(out, layout_.names[i], scratch_.view(), ending);
  }
  return std::nullopt;
}

RowBlockWriter::RowResult RowBlockWriter::write_whole_block(std::span<const ArrowColumn> columns, size_t row,
                                                            ByteBuffer& out) {
  const size_t index = *layout_.block;
  const ArrowColumn& column = columns[index];
  if (column.is_null(row)) return CellFault{RowFault::Kind::NullBlock, index};
  const std::string_view bytes = column.bytes(row);
  const BlockEnd end = find_block_end(bytes);
  if (!end.found || end.end != bytes.size() || !bytes.ends_with('\n')) {
    return CellFault{RowFault::Kind::NotOneBlock, index};
  }
  if (utf8_ && is_unchecked_utf8(column) && find_invalid_utf8(bytes)) return CellFault{RowFault::Kind::NotUtf8, index};
  if (layout_.records.empty()) {
    out.append(bytes);
    return std::nullopt;
  }
  Block block = Block::build(ByteBuffer(bytes), end.term_start);
  if (RowResult fault = set_records(columns, row, block)) return fault;
  out.append(block.bytes());
  return std::nullopt;
}

// As set_record does it, with the Plain header for a new record.
RowBlockWriter::RowResult RowBlockWriter::set_records(std::span<const ArrowColumn> columns, size_t row,
                                                      Block& block) {
  for (size_t i = 0; i < layout_.records.size(); ++i) {
    const size_t index = layout_.records[i];
    if (columns[index].is_null(row)) continue;
    if (RowResult fault = cell_text(columns[index], index, row)) return fault;
    if (EditStatus refused = set_record(block, layout_.names[i], scratch_.view(), HeaderStyle::Plain)) {
      const bool malformed = *refused == EditError::MalformedRecord;
      return CellFault{malformed ? RowFault::Kind::MalformedRecord : RowFault::Kind::NoMEndForRecords, *layout_.block};
    }
  }
  return std::nullopt;
}

}  // namespace molbrook
