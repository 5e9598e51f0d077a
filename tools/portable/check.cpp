// Reads SD files through the byte-level core alone and prints one checksum
// line per file; tools/check-portable runs it on several platforms and
// compares the lines.
//
//   check CORPUS_DIR WORK_DIR
//
// Every file under CORPUS_DIR ("-" for none) is read, and a file that the
// program first writes into WORK_DIR under a non-ASCII name, holding CRLF,
// lone CR and long lines. Each file is split in both line-ending modes
// (LF only, as for bytes; LF, CRLF and lone CR, as for str), through a mapping and
// through chunked reads, which must agree; every block's records are
// scanned and its connection table read and repaired. A second line per
// file checksums the record tables of its blocks: every record name as a
// text column (after the titles, molblocks and block bytes), then as an
// int and as a float column. The
// checksums are FNV-1a over those results, with every number as 8
// little-endian bytes, so they are the same on every platform. A first
// line "# kernel NAME" names the scanning kernel.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/block.hpp"
#include "core/ctable/block_lines.hpp"
#include "core/ctable/table.hpp"
#include "core/platform/file.hpp"
#include "core/platform/file_mapping.hpp"
#include "core/read/mapped_reader.hpp"
#include "core/read/open_file.hpp"
#include "core/read/splitter.hpp"
#include "core/records/record.hpp"
#include "core/table/builder.hpp"
#include "core/text/simd.hpp"

namespace fs = std::filesystem;
using namespace molbrook;

namespace {

// Odd-sized, so chunk boundaries fall everywhere in the text.
constexpr size_t kChunk = 65521;

class Fnv {
 public:
  void bytes(std::string_view data) noexcept {
    for (unsigned char byte : data) hash_ = (hash_ ^ byte) * 0x100000001b3ull;
  }
  void number(uint64_t value) noexcept {
    char little[8];
    for (int i = 0; i < 8; ++i) little[i] = static_cast<char>(value >> (8 * i));
    bytes({little, 8});
  }
  void text(std::string_view data) noexcept {
    number(data.size());
    bytes(data);
  }
  uint64_t value() const noexcept { return hash_; }

 private:
  uint64_t hash_ = 0xcbf29ce484222325ull;
};

struct Tally {
  Fnv hash;
  uint64_t blocks = 0;
  uint64_t records = 0;
  uint64_t tables = 0;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "check: %s\n", what.c_str());
  std::exit(1);
}

std::string utf8(const fs::path& path) {
  std::u8string name = path.generic_u8string();
  return {name.begin(), name.end()};
}

// Splitting

std::vector<Block> mapped_blocks(const MappingRef& mapping, Kind kind) {
  std::vector<Block> blocks;
  MappedReader reader(mapping, kind, /*borrow=*/true);
  for (reader.next_batch(); reader.has_block(); reader.next_batch()) {
    while (reader.has_block()) blocks.push_back(reader.pop());
  }
  return blocks;
}

// As the block iterator reads a file it does not map.
std::vector<Block> chunked_blocks(const platform::File& file, Kind kind, const std::string& name) {
  std::vector<Block> blocks;
  BlockSplitter splitter;
  bool pending_cr = false;
  auto read_more = [&](BlockSplitter& into) {
    char* at = into.prepare(kChunk);
    Result<size_t, platform::SystemError> count = platform::read_some(file, at, kChunk);
    if (!count) fail("reading " + name + " failed with errno " + std::to_string(count.error().code));
    if (*count == 0) {
      into.set_eof();
    } else if (kind == Kind::Str) {
      into.commit_translated(*count, pending_cr);
    } else {
      into.commit(*count);
    }
    return true;
  };
  for (std::optional<Block> block; splitter.next_block(read_more, block) && block; block.reset()) {
    blocks.push_back(std::move(*block));
  }
  return blocks;
}

// Records and tables

void hash_records(const Block& block, Tally& tally) {
  std::string_view section = record_section(block);
  RecordScanner scanner(section);
  for (ScannedRecord record;;) {
    ScanStep step = scanner.next(record);
    tally.hash.number(static_cast<uint64_t>(step));
    if (step == ScanStep::End) return;
    if (step == ScanStep::Malformed) continue;
    ++tally.records;
    RecordValue value = record_value(section, record);
    std::string_view raw = section.substr(value.start, value.end - value.start);
    tally.hash.text(record.name(section));
    tally.hash.text(value.fold ? fold_crlf(raw).view() : raw);
    tally.hash.number(record.end);
  }
}

void hash_lines(TableLines lines, Fnv& hash) {
  hash.number(lines.size());
  for (const std::string& line : lines) hash.text(line);
}

void hash_status(const CtabStatus& status, const CTable& table, Fnv& hash) {
  if (status) {
    hash.text(status->message());
  } else {
    hash_lines(table.lines(), hash);
  }
}

void hash_table(const Block& block, Kind kind, Tally& tally) {
  CtabResult<CountsHeader> header = read_block_counts_header(block);
  tally.hash.text(header ? format_text(header->format) : header.error().message());
  std::vector<std::string> lines;
  BlockText text = kind == Kind::Str ? BlockText::Utf8 : BlockText::Latin1;
  if (Status<InvalidLine> invalid = append_block_lines(block, text, lines)) {
    tally.hash.text(invalid->bytes);
    tally.hash.number(invalid->error.start);
    tally.hash.number(invalid->error.end);
    return;
  }
  CtabResult<CTable> table = CTable::create(std::move(lines));
  if (!table) {
    tally.hash.text(table.error().message());
    return;
  }
  ++tally.tables;
  tally.hash.number(static_cast<uint64_t>(table->num_atoms()));
  tally.hash.number(static_cast<uint64_t>(table->num_bonds()));
  if (table->format() != CtabFormat::V3000) return;
  CTable renumbered = *table;
  hash_status(renumbered.renumber_indices(), renumbered, tally.hash);
  CTable counted = *table;
  hash_status(counted.fix_counts(), counted, tally.hash);
}

void hash_block(const Block& block, Kind kind, Tally& tally) {
  ++tally.blocks;
  tally.hash.text(block.bytes());
  tally.hash.number(block.title_end());
  tally.hash.number(block.mdl_end());
  tally.hash.text(block.title());
  hash_records(block, tally);
  hash_table(block, kind, tally);
}

// Record tables

constexpr size_t kBatchRows = 1000;

void hash_column(const Column& column, size_t rows, Fnv& hash) {
  hash.number(static_cast<uint64_t>(column.type()));
  hash.number(column.null_count());
  for (size_t row = 0; row < rows; ++row) {
    hash.number(column.is_valid(row) ? 1 : 0);
    if (!column.is_valid(row)) continue;
    if (column.type() == ColumnType::Text) {
      hash.text(column.cell(row));
    } else if (column.type() == ColumnType::Int64) {
      hash.number(static_cast<uint64_t>(column.int64_values()[row]));
    } else {
      uint64_t bits;
      std::memcpy(&bits, &column.float64_values()[row], sizeof bits);
      hash.number(bits);
    }
  }
}

void hash_batch(const Batch& batch, Fnv& hash) {
  hash.number(batch.rows);
  hash.number(batch.columns.size());
  for (const auto& column : batch.columns) hash_column(*column, batch.rows, hash);
}

// The blocks as one table with every record name a column of `type`, the
// block part columns first when it is text, in batches of kBatchRows rows;
// returns the rows. A block that cannot be a row is hashed as its error.
size_t hash_record_table(const std::vector<Block>& blocks, const std::vector<std::string>& names, ColumnType type,
                         Fnv& hash) {
  TableOptions options;
  options.kind = Kind::Bytes;
  if (type == ColumnType::Text) options.parts = {BlockPart::Title, BlockPart::Molblock, BlockPart::Block};
  options.batch_rows = kBatchRows;
  if (type != ColumnType::Text) {
    for (const std::string& name : names) options.types.emplace(name, type);
  }
  TableBuilder builder(std::move(options));
  size_t rows = 0;
  for (const Block& block : blocks) {
    if (std::optional<RowError> error = builder.add(block)) {
      hash.number(static_cast<uint64_t>(error->kind));
      continue;
    }
    ++rows;
    if (builder.rows() == kBatchRows) hash_batch(builder.finish(), hash);
  }
  hash_batch(builder.finish(), hash);
  return rows;
}

// "table", the rows and record names, and the hash of the three tables.
std::string table_summary(const std::vector<Block>& blocks) {
  NameCollector collector(Kind::Bytes);
  for (const Block& block : blocks) collector.add(block);
  Fnv hash;
  size_t rows = 0;
  for (ColumnType type : {ColumnType::Text, ColumnType::Int64, ColumnType::Float64}) {
    rows = hash_record_table(blocks, collector.names(), type, hash);
  }
  char line[160];
  std::snprintf(line, sizeof line, "table rows=%zu names=%zu fnv=%016llx", rows, collector.names().size(),
                static_cast<unsigned long long>(hash.value()));
  return line;
}

// Files

// The whole file through positional reads, in pieces that do not align
// with pages.
std::string read_whole(const platform::File& file, uint64_t size, const std::string& name) {
  std::string bytes(size, '\0');
  for (uint64_t offset = 0; offset < size; offset += 1000003) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(1000003, size - offset));
    Result<size_t, platform::SystemError> got = platform::read_at(file, offset, bytes.data() + offset, piece);
    if (!got || *got != piece) fail("positional read of " + name + " came up short");
  }
  char past;
  Result<size_t, platform::SystemError> end = platform::read_at(file, size, &past, 1);
  if (!end || *end != 0) fail("positional read past the end of " + name);
  return bytes;
}

platform::File open_or_fail(const std::string& path) {
  Result<platform::File, platform::SystemError> file = platform::open_read_only(path.c_str());
  if (!file) fail("cannot open " + path + ": errno " + std::to_string(file.error().code));
  return std::move(*file);
}

void check_same(const std::vector<Block>& mapped, const std::vector<Block>& chunked, const std::string& name) {
  bool same = mapped.size() == chunked.size();
  for (size_t i = 0; same && i < mapped.size(); ++i) {
    same = mapped[i].bytes() == chunked[i].bytes() && mapped[i].title_end() == chunked[i].title_end();
  }
  if (!same) fail("mapped and chunked reading split " + name + " differently");
}

// The blocks of a file in one mode, mapped and read in chunks alike.
std::vector<Block> read_blocks(const std::string& path, const std::string& name, Kind kind) {
  platform::File file = open_or_fail(path);
  std::optional<uint64_t> size = platform::regular_file_size(file);
  if (!size) fail(name + " is not a regular file");
  std::vector<Block> chunked = chunked_blocks(file, kind, name);
  std::vector<Block> mapped;
  if (*size != 0) {
    Result<MappingRef, platform::SystemError> mapping = Mapping::map_file(file, static_cast<size_t>(*size));
    if (!mapping) fail("cannot map " + name + ": errno " + std::to_string(mapping.error().code));
    if (read_whole(file, *size, name) != (*mapping)->bytes()) fail("positional reads and the mapping of " + name + " differ");
    mapped = mapped_blocks(*mapping, kind);
  }
  check_same(mapped, chunked, name);
  return mapped;
}

// "lf" or "text", the blocks, records and tables, and the hash.
std::string mode_summary(const std::vector<Block>& blocks, Kind kind) {
  Tally tally;
  for (const Block& block : blocks) hash_block(block, kind, tally);
  char line[160];
  std::snprintf(line, sizeof line, "%s blocks=%llu records=%llu tables=%llu fnv=%016llx",
                kind == Kind::Str ? "text" : "lf",
                static_cast<unsigned long long>(tally.blocks), static_cast<unsigned long long>(tally.records),
                static_cast<unsigned long long>(tally.tables), static_cast<unsigned long long>(tally.hash.value()));
  return line;
}

void check_file(const std::string& path, const std::string& name) {
  // The reader's own choice, mapped or chunked, varies with the platform
  // and filesystem; only that it opens is checked.
  if (!open_for_reading(path.c_str())) fail("open_for_reading refused " + name);
  std::vector<Block> bytes = read_blocks(path, name, Kind::Bytes);
  std::string lf = mode_summary(bytes, Kind::Bytes);
  std::string text = mode_summary(read_blocks(path, name, Kind::Str), Kind::Str);
  std::printf("%s %s %s\n", name.c_str(), lf.c_str(), text.c_str());
  std::printf("%s %s\n", name.c_str(), table_summary(bytes).c_str());
}

// The generated file

std::string generated_text() {
  std::string text;
  const std::string long_line(300000, 'x');
  const char* endings[] = {"\n", "\r\n", "\r"};
  for (int block = 0; block < 60; ++block) {
    const std::string nl = endings[block % 3];
    text += "title " + std::to_string(block) + (block % 7 == 0 ? long_line : "") + nl;
    text += "  generated" + nl + nl;
    if (block % 2 == 0) {
      text += "  2  1  0  0  0  0  0  0  0  0999 V2000" + nl;
      text += "    0.0000    0.0000    0.0000 C   0  0" + nl;
      text += "    1.0000    0.0000    0.0000 O   0  0" + nl;
      text += "  1  2  1  0" + nl;
    } else {
      text += "  0  0  0     0  0            999 V3000" + nl;
      text += "M  V30 BEGIN CTAB" + nl + "M  V30 COUNTS 2 1 0 0 0" + nl + "M  V30 BEGIN ATOM" + nl;
      text += "M  V30 " + std::to_string(3 + block) + " C 0 0 0 0" + nl + "M  V30 9 N 1 0 0 0" + nl;
      text += "M  V30 END ATOM" + nl + "M  V30 BEGIN BOND" + nl;
      text += "M  V30 4 1 " + std::to_string(3 + block) + " 9" + nl + "M  V30 END BOND" + nl + "M  V30 END CTAB" + nl;
    }
    text += "M  END" + nl;
    text += ">  <name>" + nl + "value " + std::to_string(block) + nl + "second line" + nl + nl;
    text += "> <long>" + nl + (block % 5 == 0 ? long_line : "short") + nl + nl;
    if (block % 4 == 1) text += "> no name here" + nl + "x" + nl + nl;
    if (block % 6 == 2) text += "> <latin> \xe9t\xe9" + nl + "caf\xc3\xa9 \xff" + nl + nl;
    text += (block % 9 == 4 ? "$$$$ decorated" : "$$$$") + nl;
  }
  text += "trailing block without its end\r\nM  END\r";
  return text;
}

std::string write_generated(const fs::path& work) {
  const std::string name = "g\xc3\xa9n\xc3\xa9r\xc3\xa9 \xe2\x9c\x93.sdf";  // "généré ✓.sdf"
  std::string path = utf8(work) + "/" + name;
  Result<platform::File, platform::SystemError> file = platform::create_for_writing(path.c_str());
  if (!file) fail("cannot create " + path + ": errno " + std::to_string(file.error().code));
  const std::string text = generated_text();
  if (platform::write_all(*file, text) || file->close()) fail("cannot write " + path);
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) fail("usage: check CORPUS_DIR WORK_DIR");
  std::printf("# kernel %s\n", simd::Native::name);
  std::vector<std::pair<std::string, std::string>> files;  // (path, name)
  if (std::string_view(argv[1]) != "-") {
    const fs::path root(argv[1]);
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) files.emplace_back(utf8(entry.path()), utf8(fs::relative(entry.path(), root)));
    }
  }
  const fs::path work(argv[2]);
  std::string generated = write_generated(work);
  files.emplace_back(utf8(work) + "/" + generated, "generated/" + generated);
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  for (const auto& [path, name] : files) check_file(path, name);
  return 0;
}
