// Fuzz target: editing a block's records and sections.
//
// Invariant: starting from any block and applying any sequence of record
// edits (append, set, remove, replace, in every header style) and section
// replacements (title, molblock, MDL), every intermediate block keeps the
// block invariants, and each edit does what it promises whenever its names
// and values are single non-blank lines: an appended record reads back as
// the last record; set leaves one record of its name with the new value
// and the other records as they were; remove drops exactly the records of
// its name; replace leaves exactly the given records; a failed set or
// remove (a header line without a name) changes no byte; record edits keep
// the title line and MDL, and section replacements keep the SD data.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/records/edit.hpp"
#include "core/records/record.hpp"
#include "core/text/lines.hpp"
#include "core/text/strip.hpp"

namespace molbrook::fuzz {
namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

// The records of the block, or nothing when a header line lacks a name.
std::optional<Records> read_records(const Block& block) {
  std::string_view section = block.sd_data();
  Records records;
  bool complete = visit_records(section, [&](const ScannedRecord& record) {
    RecordValue value = record_value(section, record);
    std::string_view raw = section.substr(value.start, value.end - value.start);
    records.emplace_back(std::string(record.name(section)),
                         value.fold ? std::string(fold_crlf(raw).view()) : std::string(raw));
  });
  if (!complete) return std::nullopt;
  return records;
}

// The last well-formed record, scanning past malformed header lines.
std::optional<std::pair<std::string, std::string>> last_record(const Block& block) {
  std::string_view section = block.sd_data();
  RecordScanner scanner(section);
  std::optional<std::pair<std::string, std::string>> last;
  for (ScannedRecord record;;) {
    ScanStep step = scanner.next(record);
    if (step == ScanStep::End) return last;
    if (step == ScanStep::Malformed) continue;
    RecordValue value = record_value(section, record);
    last.emplace(record.name(section), section.substr(value.start, value.end - value.start));
  }
}

// Names and values that read back as written: one line, not blank.
bool reads_back(std::string_view name, std::string_view value) {
  bool one_line = name.find_first_of("\r\n") == npos && value.find_first_of("\r\n") == npos;
  return one_line && (value.empty() || !is_blank(value));
}

HeaderStyle pick_style(FuzzedDataProvider& input) {
  return input.PickValueInArray({HeaderStyle::Plain, HeaderStyle::Padded, HeaderStyle::Copy});
}

std::string pick_text(FuzzedDataProvider& input, size_t most) {
  if (input.ConsumeBool()) return input.ConsumeRandomLengthString(most);
  return input.PickValueInArray<std::string>({"A", "B", "a> <b", "", " x ", "$$$$", "M  END", "1\n\n2"});
}

// The title line and MDL, which record edits keep (after a title line is
// given to a block without one).
std::string head(const Block& block) { return std::string(block.molblock()); }

void check_append(Block& block, FuzzedDataProvider& input) {
  std::string name = pick_text(input, 12);
  std::string value = pick_text(input, 24);
  block.ensure_title_line();
  std::string before(block.bytes());
  std::string kept = head(block);
  append_record(block, name, value, pick_style(input));
  check_block(block);
  FUZZ_CHECK(head(block) == kept);
  FUZZ_CHECK(block.bytes().starts_with(std::string_view(before).substr(0, before.size() - block.terminator_length())));
  if (reads_back(name, value)) FUZZ_CHECK(last_record(block) == std::pair(name, value));
}

void check_set_or_remove(Block& block, FuzzedDataProvider& input, bool set) {
  std::string name = pick_text(input, 12);
  std::string value = pick_text(input, 24);
  std::optional<Records> before = read_records(block);
  std::string bytes_before(block.bytes());
  std::string kept = head(block);
  RecordResult<size_t> found = set_or_remove(block, name, set ? std::optional<std::string_view>(value) : std::nullopt);
  check_block(block);
  FUZZ_CHECK(static_cast<bool>(found) == before.has_value());
  if (!found) {
    FUZZ_CHECK(block.bytes() == bytes_before);
    return;
  }
  FUZZ_CHECK(head(block) == kept);
  Records expected;
  size_t matches = 0;
  for (const auto& record : *before) {
    if (record.first != name) {
      expected.push_back(record);
    } else if (matches++ == 0 && set) {
      expected.emplace_back(name, value);
    }
  }
  FUZZ_CHECK(*found == matches);
  if (matches == 0) FUZZ_CHECK(block.bytes() == bytes_before);
  if (reads_back(name, value)) FUZZ_CHECK(read_records(block) == expected);
}

void check_replace(Block& block, FuzzedDataProvider& input) {
  Records pairs(input.ConsumeIntegralInRange<size_t>(0, 4));
  bool clean = true;
  for (auto& [name, value] : pairs) {
    name = pick_text(input, 12);
    value = pick_text(input, 24);
    clean = clean && reads_back(name, value);
  }
  std::vector<RecordPair> views;
  for (const auto& [name, value] : pairs) views.push_back({name, value});
  if (!pairs.empty()) block.ensure_title_line();
  std::string kept = head(block);
  replace_records(block, views, pick_style(input));
  check_block(block);
  FUZZ_CHECK(head(block) == kept);
  if (pairs.empty()) FUZZ_CHECK(block.sd_data().empty());
  if (clean) FUZZ_CHECK(read_records(block) == pairs);
}

void check_sections(Block& block, FuzzedDataProvider& input) {
  std::string text = pick_text(input, 40);
  std::string sd_data(block.sd_data());
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0: {
      if (text.find_first_of("\r\n") != npos || text.starts_with(kDollars)) return;
      std::string mdl(block.mdl());
      block.replace_title(text);
      FUZZ_CHECK(block.title() == rstrip(text));
      FUZZ_CHECK(block.mdl() == mdl);
      break;
    }
    case 1:
      block.replace_molblock(text);
      FUZZ_CHECK(block.molblock().starts_with(text));
      break;
    default: {
      std::string title_line(block.title_end() > 0 || text.empty() ? block.title_line() : block.title_line_ending());
      block.replace_mdl(text);
      FUZZ_CHECK(block.mdl().starts_with(text));
      FUZZ_CHECK(block.title_line() == title_line);
      break;
    }
  }
  check_block(block);
  FUZZ_CHECK(block.sd_data() == sd_data);
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace molbrook;
  using namespace molbrook::fuzz;
  FuzzedDataProvider input(data, size);
  std::string text = input.ConsumeRandomLengthString(2048);
  BlockEnd end = find_block_end(text);
  Block block = Block::build(ByteBuffer(std::string_view(text).substr(0, end.end)),
                             end.found ? std::optional(end.term_start) : std::nullopt);
  check_block(block);
  for (int edits = 0; edits < 8 && input.remaining_bytes() > 0; ++edits) {
    switch (input.ConsumeIntegralInRange(0, 4)) {
      case 0:
        check_append(block, input);
        break;
      case 1:
        check_set_or_remove(block, input, true);
        break;
      case 2:
        check_set_or_remove(block, input, false);
        break;
      case 3:
        check_replace(block, input);
        break;
      default:
        check_sections(block, input);
        break;
    }
    FUZZ_CHECK(block.clone() == block);
  }
  return 0;
}
