// Fuzz target: editing a block's records and sections.
//
// Invariant: starting from any block and applying any sequence of record
// edits (append, set, remove, replace, rename, in every header style) and
// section replacements (title, molblock, MDL), every intermediate block
// keeps the block invariants, and each edit does what it promises whenever
// its names and values are single non-blank lines: an appended record
// reads back as the last record; set leaves one record of its name with
// the new value and the other records as they were; remove drops exactly
// the records of its name; replace leaves exactly the given records;
// rename gives the records of the old name the new one and changes no byte
// but the names; a failed edit (a header line without a name, or records
// that would no longer read back) changes no byte; record edits keep the
// title line and MDL, and section replacements keep the SD data. A block
// whose records a reader of its bytes finds keeps them findable through
// every record edit whose names and values readable.hpp accepts.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/read/splitter.hpp"
#include "core/records/edit.hpp"
#include "core/records/readable.hpp"
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

// Whether a reader of the block's bytes finds one block with the same
// sections, or, the SD data being blank, no records either.
bool records_found_by_reader(const Block& block) {
  BlockEnd end = find_block_end(block.bytes());
  if (end.end != block.bytes().size()) return false;
  Block read = Block::build(ByteBuffer(block.bytes()), end.term_start);
  if (read.title_end() == block.title_end() && read.mdl_end() == block.mdl_end()) return true;
  return is_blank(block.sd_data()) && read_records(read) == Records();
}

// A record edit whose names and values the writers accept keeps findable
// records findable, or is refused and changes no byte.
template <class Edit>
void check_kept_readable(Block& block, bool accepted, Edit edit) {
  const bool readable = records_found_by_reader(block);
  const std::string before(block.bytes());
  if (!edit()) {
    FUZZ_CHECK(block.bytes() == before);
  } else if (readable && accepted) {
    FUZZ_CHECK(records_found_by_reader(block));
  }
}

bool accepted(std::string_view name, std::string_view value) {
  return !unreadable_name(name) && !unreadable_value(value);
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
  const HeaderStyle style = pick_style(input);
  const bool titled = block.title_end() > 0;
  const std::string before(block.bytes());
  const std::string kept = head(block);
  bool refused = false;
  check_kept_readable(block, accepted(name, value),
                      [&] { return !(refused = append_record(block, name, value, style).has_value()); });
  if (refused) return;
  check_block(block);
  FUZZ_CHECK(block.title_end() > 0);
  if (titled) {
    FUZZ_CHECK(head(block) == kept);
    FUZZ_CHECK(block.bytes().starts_with(std::string_view(before).substr(0, before.size() - block.terminator_length())));
  }
  if (reads_back(name, value)) FUZZ_CHECK(last_record(block) == std::pair(name, value));
}

void check_set_or_remove(Block& block, FuzzedDataProvider& input, bool set) {
  std::string name = pick_text(input, 12);
  std::string value = pick_text(input, 24);
  std::optional<Records> before = read_records(block);
  std::string bytes_before(block.bytes());
  std::string kept = head(block);
  std::optional<EditResult<size_t>> found;
  check_kept_readable(block, accepted(name, set ? value : ""), [&] {
    found = set_or_remove(block, name, set ? std::optional<std::string_view>(value) : std::nullopt);
    return static_cast<bool>(*found);
  });
  check_block(block);
  FUZZ_CHECK(static_cast<bool>(*found) || found->error() == EditError::RecordsNotReadBack || !before);
  if (!*found) return;
  FUZZ_CHECK(before.has_value());
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
  FUZZ_CHECK(**found == matches);
  if (matches == 0) FUZZ_CHECK(block.bytes() == bytes_before);
  if (reads_back(name, value)) FUZZ_CHECK(read_records(block) == expected);
}

// The text of the section outside the header lines of its records, and the
// header lines split around their names.
struct HeaderParts {
  std::string outside;
  std::vector<std::pair<std::string, std::string>> around_names;
};

HeaderParts header_parts(const Block& block) {
  std::string_view section = block.sd_data();
  HeaderParts parts;
  size_t copied = 0;
  RecordScanner scanner(section);
  for (ScannedRecord record; scanner.next(record) == ScanStep::Record;) {
    parts.outside.append(section.substr(copied, record.header_start - copied));
    parts.around_names.emplace_back(section.substr(record.header_start, record.name_start - record.header_start),
                                    section.substr(record.name_start + record.name_size,
                                                   record.value_start - record.name_start - record.name_size));
    copied = record.value_start;
  }
  parts.outside.append(section.substr(copied));
  return parts;
}

void check_rename(Block& block, FuzzedDataProvider& input) {
  std::optional<Records> before = read_records(block);
  std::string old_name = before && !before->empty() && input.ConsumeBool()
                             ? (*before)[input.ConsumeIntegralInRange<size_t>(0, before->size() - 1)].first
                             : pick_text(input, 12);
  std::string new_name = pick_text(input, 12);
  HeaderParts parts = header_parts(block);
  std::string kept = head(block);
  std::optional<EditResult<size_t>> renamed;
  check_kept_readable(block, accepted(new_name, ""), [&] {
    renamed = rename_records(block, old_name, new_name);
    return static_cast<bool>(*renamed);
  });
  check_block(block);
  if (!*renamed) return;
  FUZZ_CHECK(before.has_value() && head(block) == kept);
  Records expected = *before;
  size_t matches = 0;
  for (auto& record : expected) {
    if (record.first == old_name && ++matches) record.first = new_name;
  }
  FUZZ_CHECK(**renamed == matches);
  if (unreadable_name(new_name)) return;
  FUZZ_CHECK(read_records(block) == expected);
  HeaderParts now = header_parts(block);
  FUZZ_CHECK(now.outside == parts.outside && now.around_names.size() == parts.around_names.size());
  for (size_t i = 0; i < now.around_names.size(); ++i) {
    const auto& [prefix, suffix] = now.around_names[i];
    FUZZ_CHECK(prefix == parts.around_names[i].first);
    FUZZ_CHECK(suffix == parts.around_names[i].second || suffix == ">" + parts.around_names[i].second);
  }
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
  const bool titled = block.title_end() > 0 || pairs.empty();
  std::string kept = head(block);
  const HeaderStyle style = pick_style(input);
  bool all_accepted = true;
  for (const auto& [name, value] : pairs) all_accepted = all_accepted && accepted(name, value);
  bool refused = false;
  check_kept_readable(block, all_accepted, [&] { return !(refused = replace_records(block, views, style).has_value()); });
  check_block(block);
  if (refused) return;
  if (titled) FUZZ_CHECK(head(block) == kept);
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
    switch (input.ConsumeIntegralInRange(0, 5)) {
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
      case 4:
        check_rename(block, input);
        break;
      default:
        check_sections(block, input);
        break;
    }
    FUZZ_CHECK(block.clone() == block);
  }
  return 0;
}
