// Fuzz target: cutting a byte stream into blocks.
//
// Invariant: for any bytes, read as bytes (lines end at LF) and as str
// (at LF, CRLF or lone CR), the search for a block's end, the incremental
// splitter fed in chunks of any sizes, and the mapped batch reader (borrowing or copying) all find the blocks
// that a line-by-line reference finds, built as the reference builds them;
// every block keeps the block invariants; a block whose $$$$ line is
// already bare keeps its bytes exactly, so an unedited file writes back
// byte for byte; a borrowed block is a view of exactly the file's bytes;
// and two byte ranges cut anywhere give the blocks that start in each,
// through the mapping and through positional reads.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/read/mapped_reader.hpp"
#include "core/read/positional_reader.hpp"
#include "core/read/splitter.hpp"

namespace molbrook::fuzz {
namespace {

// One block as the reference cuts it.
struct ReferenceBlock {
  size_t offset;  // in the input
  std::string_view raw;
  bool found;
  size_t term_start;  // relative to offset; meaningful when found
};

size_t reference_line_end(std::string_view text, size_t from, Kind kind) {
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] == '\n') return i + 1;
    if (kind == Kind::Str && text[i] == '\r') return i + 1 < text.size() && text[i + 1] == '\n' ? i + 2 : i + 1;
  }
  return text.size();
}

// Walks the input line by line; a block ends after the first line that
// starts with "$$$$".
std::vector<ReferenceBlock> reference_blocks(std::string_view text, Kind kind) {
  std::vector<ReferenceBlock> blocks;
  for (size_t offset = 0; offset < text.size();) {
    ReferenceBlock block{offset, {}, false, 0};
    size_t end = text.size();
    for (size_t line = offset; line < text.size();) {
      size_t next = reference_line_end(text, line, kind);
      if (text.substr(line).starts_with("$$$$")) {
        block.found = true;
        block.term_start = line - offset;
        end = next;
        break;
      }
      line = next;
    }
    block.raw = text.substr(offset, end - offset);
    blocks.push_back(block);
    offset = end;
  }
  return blocks;
}

std::string reference_translation(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    out.push_back(text[i] == '\r' ? '\n' : text[i]);
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  return out;
}

bool is_bare_terminator(std::string_view line) { return line == "$$$$\n" || line == "$$$$\r\n"; }

// Whether the raw bytes already end with a bare $$$$ line where the block
// is cut, so that building the block changes nothing.
bool keeps_bytes(const ReferenceBlock& block) {
  if (!block.found) return false;
  size_t title_end = block.term_start == 0 ? 0 : next_line_end(block.raw, 0);
  return is_bare_terminator(block.raw.substr(std::max(block.term_start, title_end)));
}

Block expected_block(const ReferenceBlock& block, Kind kind) {
  std::optional<size_t> term_start = block.found ? std::optional(block.term_start) : std::nullopt;
  if (kind == Kind::Bytes || block.raw.find('\r') == npos) return Block::build(ByteBuffer(block.raw), term_start);
  // A text block reads with LF endings; its $$$$ line is then its last line.
  std::string text = reference_translation(block.raw);
  if (term_start) {
    std::string_view body = std::string_view(text).substr(0, text.size() - (text.ends_with('\n') ? 1 : 0));
    size_t lf = body.rfind('\n');
    term_start = lf == npos ? 0 : lf + 1;
  }
  return Block::build(ByteBuffer(text), term_start);
}

void check_same(const Block& block, const Block& expected) {
  check_block(block);
  FUZZ_CHECK(block.bytes() == expected.bytes());
  FUZZ_CHECK(block.title_end() == expected.title_end());
  FUZZ_CHECK(block.mdl_end() == expected.mdl_end());
}

void check_block_ends(std::string_view text, const std::vector<ReferenceBlock>& blocks, Kind kind) {
  for (const ReferenceBlock& block : blocks) {
    BlockEnd end = find_block_end(text.substr(block.offset), kind);
    FUZZ_CHECK(end.found == block.found);
    if (end.found) FUZZ_CHECK(end.term_start == block.term_start);
    FUZZ_CHECK(end.end == block.raw.size());
    size_t first_cr = kind == Kind::Str ? block.raw.find('\r') : npos;
    FUZZ_CHECK(end.first_cr == (first_cr == npos ? block.raw.size() : first_cr));
  }
}

// The incremental splitter, fed `chunks` sizes in turn (LF-only mode).
void check_splitter(std::string_view text, const std::vector<ReferenceBlock>& blocks,
                    const std::vector<size_t>& chunks) {
  BlockSplitter splitter;
  size_t fed = 0;
  size_t reads = 0;
  auto read_more = [&](BlockSplitter& into) {
    if (fed == text.size()) {
      into.set_eof();
      return true;
    }
    size_t size = std::min(chunks[reads++ % chunks.size()], text.size() - fed);
    std::memcpy(into.prepare(size), text.data() + fed, size);
    into.commit(size);
    fed += size;
    return true;
  };
  for (const ReferenceBlock& expected : blocks) {
    std::optional<Block> block;
    FUZZ_CHECK(splitter.next_block(read_more, block));
    FUZZ_CHECK(block.has_value());
    Block built = expected_block(expected, Kind::Bytes);
    check_same(*block, built);
    if (keeps_bytes(expected)) FUZZ_CHECK(block->bytes() == expected.raw);
  }
  std::optional<Block> end;
  FUZZ_CHECK(splitter.next_block(read_more, end));
  FUZZ_CHECK(!end.has_value());
}

// A file in memory holding `text`; a closed file on failure.
platform::File file_of(std::string_view text) {
  platform::File file(memfd_create("split", 0));
  if (file && write(static_cast<int>(file.handle()), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    return {};
  }
  return file;
}

void check_mapped(const MappingRef& mapping, const std::vector<ReferenceBlock>& blocks, Kind kind,
                  bool borrow) {
  MappedReader reader(mapping, kind, borrow);
  size_t count = 0;
  for (reader.next_batch(); reader.has_block(); reader.next_batch()) {
    while (reader.has_block()) {
      FUZZ_CHECK(count < blocks.size());
      const ReferenceBlock& expected = blocks[count++];
      Block block = reader.pop();
      check_same(block, expected_block(expected, kind));
      bool borrowable = borrow && keeps_bytes(expected) && (kind == Kind::Bytes || expected.raw.find('\r') == npos);
      FUZZ_CHECK(block.is_mapped() == borrowable);
      if (block.is_mapped()) FUZZ_CHECK(block.bytes().data() == mapping->bytes().data() + expected.offset);
    }
  }
  FUZZ_CHECK(count == blocks.size());
  FUZZ_CHECK(reader.offset() == mapping->bytes().size());
}

// The blocks of a range reader, checked against blocks[first, first + count).
template <class Reader, class NextBatch>
void check_range(Reader& reader, NextBatch next_batch, const std::vector<ReferenceBlock>& blocks, size_t first,
                 size_t count, Kind kind) {
  size_t seen = 0;
  for (next_batch(); reader.has_block(); next_batch()) {
    while (reader.has_block()) {
      FUZZ_CHECK(seen < count);
      check_same(reader.pop(), expected_block(blocks[first + seen++], kind));
    }
  }
  FUZZ_CHECK(seen == count);
}

// [0, cut) holds the blocks that start before `cut`, [cut, end of file)
// the others.
void check_ranges(const MappingRef& mapping, int fd, const std::vector<ReferenceBlock>& blocks, Kind kind,
                  size_t cut) {
  size_t before = 0;
  while (before < blocks.size() && blocks[before].offset < cut) ++before;
  const struct {
    size_t start, end, first, count;
  } ranges[] = {{0, cut, 0, before}, {cut, MappedReader::kWholeFile, before, blocks.size() - before}};
  for (const auto& range : ranges) {
    MappedReader mapped(mapping, kind, false, range.start, range.end);
    check_range(mapped, [&] { mapped.next_batch(); }, blocks, range.first, range.count, kind);
    PositionalReader positional(platform::File(dup(fd)), kind, range.start, range.end);
    check_range(positional, [&] { FUZZ_CHECK(!positional.next_batch()); }, blocks, range.first, range.count,
                kind);
  }
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace molbrook;
  using namespace molbrook::fuzz;
  FuzzedDataProvider input(data, size);
  std::vector<size_t> chunks(input.ConsumeIntegralInRange<size_t>(1, 4));
  for (size_t& chunk : chunks) chunk = input.ConsumeIntegralInRange<size_t>(1, 300);
  const size_t cut = input.ConsumeIntegral<uint16_t>();
  ExactBytes text(input.ConsumeRemainingBytesAsString());

  for (Kind kind : {Kind::Bytes, Kind::Str}) {
    std::vector<ReferenceBlock> blocks = reference_blocks(text.view(), kind);
    check_block_ends(text.view(), blocks, kind);
    if (kind == Kind::Bytes) check_splitter(text.view(), blocks, chunks);
    if (text.view().empty()) continue;
    platform::File file = file_of(text.view());
    if (!file) continue;
    Result<MappingRef, platform::SystemError> mapping = Mapping::map_file(file, text.view().size());
    if (!mapping) continue;
    check_mapped(*mapping, blocks, kind, false);
    check_mapped(*mapping, blocks, kind, true);
    check_ranges(*mapping, static_cast<int>(file.handle()), blocks, kind, std::min(cut, text.view().size() + 1));
  }
  return 0;
}
