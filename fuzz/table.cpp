// Fuzz target: building record tables from blocks.
//
// Invariant: for any blocks and any options (str or bytes, columns of the
// blocks' titles, molblocks or bytes, every record name or a given list,
// int and float columns, batches cut after any number of rows), the table
// builder gives what a reference reading each block's records with the
// record scanner gives: a row per block, the part columns, then a column
// per name, in order of first appearance or as given;
// each cell the value of the block's last record of its name, CRLF read as
// LF, null without one, and in a typed column what that column makes of
// the value alone. A block fails, adding no row, at a header line without
// a name, or in str at a part, new name or text cell that is not UTF-8,
// with that error, checked in that order (the parts first); reading stops
// there, as the table reader's does. The name collector finds the names
// the reference finds, and fails where it does.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/read/splitter.hpp"
#include "core/records/record.hpp"
#include "core/table/builder.hpp"
#include "core/text/utf8.hpp"

namespace molbrook::fuzz {
namespace {

struct ReferenceRecord {
  std::string name;
  std::string value;  // with CRLF read as LF
  std::string raw;    // as the block holds it
};

struct ReferenceBlock {
  std::vector<std::string> parts;  // title, molblock and bytes
  std::vector<ReferenceRecord> records;
  bool malformed = false;  // records stop at the bad header
};

ReferenceBlock read_block(const Block& block) {
  std::string_view section = record_section(block);
  ReferenceBlock read;
  read.parts = {std::string(block.title()), std::string(block.molblock()), std::string(block.bytes())};
  read.malformed = !visit_records(section, [&](const ScannedRecord& record) {
    RecordValue value = record_value(section, record);
    std::string_view raw = section.substr(value.start, value.end - value.start);
    read.records.push_back({std::string(record.name(section)),
                            std::string(value.fold ? fold_crlf(raw).view() : raw), std::string(raw)});
  });
  return read;
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

struct Failure {
  RowError::Kind kind;
  std::string cell;
};

class ReferenceTable {
 public:
  explicit ReferenceTable(const TableOptions& options) : options_(options) {
    if (options.names) names_ = *options.names;
  }

  // The block as a row, or the failure that keeps it out.
  std::optional<Failure> add(const ReferenceBlock& block) {
    for (BlockPart part : options_.parts) {
      const std::string& bytes = block.parts[static_cast<size_t>(part)];
      if (!valid(bytes)) return Failure{RowError::Kind::InvalidUtf8, bytes};
    }
    if (block.malformed) return Failure{RowError::Kind::MalformedRecord, {}};
    std::vector<std::string> met;  // the block's names of columns, in order of first record
    std::vector<const ReferenceRecord*> cells;  // the last record of each
    std::vector<std::string> added;
    for (const ReferenceRecord& record : block.records) {
      const std::string& name = record.name;
      if (!contains(names_, name) && !contains(added, name)) {
        if (options_.names) continue;
        if (!valid(name)) return Failure{RowError::Kind::InvalidUtf8, name};
        added.push_back(name);
      }
      auto at = std::find(met.begin(), met.end(), name);
      if (at == met.end()) {
        met.push_back(name);
        cells.push_back(&record);
      } else {
        cells[static_cast<size_t>(at - met.begin())] = &record;
      }
    }
    for (size_t i = 0; i < met.size(); ++i) {
      if (type_of(met[i]) == ColumnType::Text && !valid(cells[i]->value)) {
        return Failure{RowError::Kind::InvalidUtf8, cells[i]->raw};
      }
    }
    names_.insert(names_.end(), added.begin(), added.end());
    std::vector<std::optional<std::string>> row(names_.size());
    for (size_t i = 0; i < met.size(); ++i) {
      row[static_cast<size_t>(std::find(names_.begin(), names_.end(), met[i]) - names_.begin())] = cells[i]->value;
    }
    rows_.push_back(std::move(row));
    parts_.push_back(block.parts);
    return std::nullopt;
  }

  ColumnType type_of(const std::string& name) const {
    auto found = options_.types.find(name);
    return found == options_.types.end() ? ColumnType::Text : found->second;
  }

  const std::vector<std::string>& names() const noexcept { return names_; }
  size_t rows() const noexcept { return rows_.size(); }
  std::optional<std::string> cell(size_t row, size_t column) const {
    return column < rows_[row].size() ? rows_[row][column] : std::nullopt;
  }
  const std::string& part(size_t row, BlockPart part) const { return parts_[row][static_cast<size_t>(part)]; }
  const std::vector<BlockPart>& parts() const noexcept { return options_.parts; }
  const UnicodeDigits* str_digits() const noexcept { return options_.str_digits; }

 private:
  bool valid(std::string_view bytes) const { return options_.kind == Kind::Bytes || !find_invalid_utf8(bytes); }

  const TableOptions& options_;
  std::vector<std::string> names_;
  std::vector<std::vector<std::optional<std::string>>> rows_;  // a row stops at the names it knew
  std::vector<std::vector<std::string>> parts_;
};

void check_failure(const std::optional<RowError>& error, const std::optional<Failure>& expected) {
  FUZZ_CHECK(error.has_value() == expected.has_value());
  if (!error) return;
  FUZZ_CHECK(error->kind == expected->kind);
  if (error->kind == RowError::Kind::InvalidUtf8) FUZZ_CHECK(error->cell == expected->cell);
}

void check_cell(const Column& column, size_t row, const std::optional<std::string>& expected, ColumnType type,
                const UnicodeDigits* str_digits = nullptr) {
  if (!expected) {
    FUZZ_CHECK(!column.is_valid(row));
    return;
  }
  if (type == ColumnType::Text) {
    FUZZ_CHECK(column.is_valid(row) && column.cell(row) == *expected);
    return;
  }
  Column alone(type);
  alone.append_parsed(*expected, str_digits);
  FUZZ_CHECK(column.is_valid(row) == alone.is_valid(0));
  if (!alone.is_valid(0)) return;
  if (type == ColumnType::Int64) {
    FUZZ_CHECK(column.int64_values()[row] == alone.int64_values()[0]);
  } else {
    FUZZ_CHECK(std::memcmp(&column.float64_values()[row], &alone.float64_values()[0], sizeof(double)) == 0);
  }
}

void check_nulls(const Column& column, size_t rows) {
  FUZZ_CHECK(column.length() == rows);
  size_t nulls = 0;
  for (size_t row = 0; row < rows; ++row) nulls += column.is_valid(row) ? 0 : 1;
  FUZZ_CHECK(column.null_count() == nulls);
}

// The batch of the reference's rows from `first` on.
void check_batch(const Batch& batch, const ReferenceTable& reference, size_t first) {
  FUZZ_CHECK(batch.rows == reference.rows() - first);
  FUZZ_CHECK(batch.columns.size() == reference.parts().size() + reference.names().size());
  size_t at = 0;
  for (BlockPart part : reference.parts()) {
    const Column& cells = *batch.columns[at++];
    check_nulls(cells, batch.rows);
    for (size_t row = 0; row < batch.rows; ++row) {
      check_cell(cells, row, reference.part(first + row, part), ColumnType::Text);
    }
  }
  for (size_t column = 0; column < reference.names().size(); ++column) {
    const Column& cells = *batch.columns[at++];
    ColumnType type = reference.type_of(reference.names()[column]);
    FUZZ_CHECK(cells.type() == type);
    check_nulls(cells, batch.rows);
    for (size_t row = 0; row < batch.rows; ++row) {
      check_cell(cells, row, reference.cell(first + row, column), type, reference.str_digits());
    }
  }
}

void check_table(const std::vector<ReferenceBlock>& blocks, const std::vector<Block>& cut, const TableOptions& options,
                 size_t rows_per_batch) {
  TableBuilder builder(options);
  ReferenceTable reference(options);
  size_t first = 0;  // the reference row that starts the builder's batch
  for (size_t i = 0; i < cut.size(); ++i) {
    std::optional<RowError> error = builder.add(cut[i]);
    std::optional<Failure> expected = reference.add(blocks[i]);
    check_failure(error, expected);
    if (error) {
      FUZZ_CHECK(builder.rows() == reference.rows() - first);
      return;
    }
    FUZZ_CHECK(builder.names() == reference.names());
    if (builder.rows() == rows_per_batch) {
      check_batch(builder.finish(), reference, first);
      first = reference.rows();
    }
  }
  check_batch(builder.finish(), reference, first);
}

// The names every block brings, in order of first appearance, up to the
// first block that fails.
void check_name_collector(const std::vector<ReferenceBlock>& blocks, const std::vector<Block>& cut, Kind kind) {
  NameCollector collector(kind);
  std::vector<std::string> names;
  for (size_t i = 0; i < cut.size(); ++i) {
    std::optional<Failure> expected;
    std::vector<std::string> added;
    for (const ReferenceRecord& record : blocks[i].records) {
      const std::string& name = record.name;
      if (contains(names, name) || contains(added, name)) continue;
      if (kind == Kind::Str && find_invalid_utf8(name)) {
        expected = Failure{RowError::Kind::InvalidUtf8, name};
        break;
      }
      added.push_back(name);
    }
    if (blocks[i].malformed) expected = Failure{RowError::Kind::MalformedRecord, {}};
    std::optional<RowError> error = collector.add(cut[i]);
    check_failure(error, expected);
    if (error) return;
    names.insert(names.end(), added.begin(), added.end());
    FUZZ_CHECK(collector.names() == names);
  }
}

// Up to eight names of the blocks, in order of first appearance.
std::vector<std::string> some_names(const std::vector<ReferenceBlock>& blocks) {
  std::vector<std::string> names;
  for (const ReferenceBlock& block : blocks) {
    for (const ReferenceRecord& record : block.records) {
      const std::string& name = record.name;
      if (names.size() < 8 && !contains(names, name)) names.push_back(name);
    }
  }
  return names;
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace molbrook;
  using namespace molbrook::fuzz;
  FuzzedDataProvider input(data, size);
  TableOptions options;
  options.kind = input.ConsumeBool() ? Kind::Str : Kind::Bytes;
  // A few scripts' digits, which str cells read as an interpreter would.
  static const UnicodeDigits kDigits({U'\u0660', U'\u0966', U'\uff10'});
  if (options.kind == Kind::Str) options.str_digits = &kDigits;
  const auto parts = input.ConsumeIntegral<uint8_t>();  // a bit per part column
  for (BlockPart part : {BlockPart::Title, BlockPart::Molblock, BlockPart::Block}) {
    if (parts >> static_cast<int>(part) & 1) options.parts.push_back(part);
  }
  options.batch_rows = input.ConsumeIntegralInRange<size_t>(0, 64);
  const size_t rows_per_batch = input.ConsumeIntegralInRange<size_t>(1, 8);
  const bool given_names = input.ConsumeBool();
  const auto types = input.ConsumeIntegral<uint16_t>();  // two bits per name: text, int, float
  const auto chosen = input.ConsumeIntegral<uint8_t>();  // a bit per name: given or not
  const bool absent = input.ConsumeBool();               // a given name no block has
  const std::string text = input.ConsumeRemainingBytesAsString();

  std::vector<Block> cut;
  for (std::string_view rest = text; !rest.empty();) {
    BlockEnd end = find_block_end(rest, Kind::Bytes);
    cut.push_back(cut_block(rest, end));
    rest.remove_prefix(end.end);
  }
  std::vector<ReferenceBlock> blocks;
  for (const Block& block : cut) blocks.push_back(read_block(block));

  std::vector<std::string> names = some_names(blocks);
  for (size_t i = 0; i < names.size(); ++i) {
    if (int type = types >> (2 * i) & 3; type != 0) {
      options.types.emplace(names[i], type == 1 ? ColumnType::Int64 : ColumnType::Float64);
    }
  }
  if (given_names) {
    options.names.emplace();
    for (size_t i = 0; i < names.size(); ++i) {
      if (chosen >> i & 1) options.names->push_back(names[i]);
    }
    if (absent && !contains(names, "absent")) options.names->push_back("absent");
  }
  check_table(blocks, cut, options, rows_per_batch);
  check_name_collector(blocks, cut, options.kind);
  return 0;
}
