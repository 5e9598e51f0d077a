// Fuzz target: reading SD data records.
//
// Invariant: for any SD data section (bytes ending with a line feed, as
// every block's section does), the record scanner yields the items a
// line-by-line reference reads (names, malformed headers, extents and
// values, CRLF folded), also when resumed where any record ended; and the
// lookups by name (find_last, contains, count), repeated so that they scan,
// build the record index and then use it, agree with the reference, all of
// them failing when any header line lacks a name.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/records/lookup.hpp"
#include "core/records/record.hpp"
#include "core/text/strip.hpp"

namespace molbrook::fuzz {
namespace {

struct ReferenceRecord {
  bool malformed;
  std::string_view name;
  size_t header_start;
  size_t end;
  std::string value;
};

std::vector<std::string_view> reference_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    size_t lf = text.find('\n', start);
    size_t end = lf == npos ? text.size() : lf + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

bool reference_blank(std::string_view line) {
  for (char byte : line) {
    if (std::string_view(" \t\n\v\f\r").find(byte) == npos) return false;
  }
  return true;
}

std::string_view without_ending(std::string_view line) {
  if (line.ends_with("\r\n")) return line.substr(0, line.size() - 2);
  if (line.ends_with('\n')) return line.substr(0, line.size() - 1);
  return line;
}

// The records of a section, read as the file format describes them.
std::vector<ReferenceRecord> reference_records(std::string_view section) {
  std::vector<std::string_view> lines = reference_lines(section);
  auto offset = [&](size_t i) { return i < lines.size() ? static_cast<size_t>(lines[i].data() - section.data()) : section.size(); };
  // The line after a paragraph's blank line, or the end.
  auto skip_paragraph = [&](size_t i) {
    while (i < lines.size() && !reference_blank(lines[i])) ++i;
    return i < lines.size() ? i + 1 : i;
  };
  std::vector<ReferenceRecord> records;
  for (size_t i = 0; i < lines.size();) {
    if (reference_blank(lines[i])) {
      ++i;
      continue;
    }
    std::string_view trimmed = strip(lines[i]);
    if (trimmed.size() < 2 || trimmed.substr(0, 2) != "> ") {
      i = skip_paragraph(i + 1);
      continue;
    }
    std::string_view rest = trimmed.substr(2);
    size_t close = rest.rfind('>');
    if (close == npos) close = rest.size();
    size_t open = rest.substr(0, close).find('<');
    if (open == npos) {
      records.push_back({true, {}, offset(i), 0, {}});
      i = skip_paragraph(i + 1);
      continue;
    }
    ReferenceRecord record{false, rest.substr(open + 1, close - open - 1), offset(i), 0, {}};
    size_t j = i + 1;
    for (bool first = true; j < lines.size() && !reference_blank(lines[j]); ++j, first = false) {
      if (!first) record.value += '\n';
      record.value += without_ending(lines[j]);
    }
    if (j < lines.size()) ++j;  // the blank line closes the record
    record.end = offset(j);
    records.push_back(record);
    i = j;
  }
  return records;
}

std::string value_bytes(std::string_view section, RecordValue value) {
  std::string_view raw = section.substr(value.start, value.end - value.start);
  if (!value.fold) {
    FUZZ_CHECK(raw.find("\r\n") == npos);
    return std::string(raw);
  }
  return std::string(fold_crlf(raw).view());
}

// The scanner from `from` against the reference records from `first`.
void check_scan(std::string_view section, size_t from, const std::vector<ReferenceRecord>& expected, size_t first) {
  RecordScanner scanner(section, from);
  ScannedRecord record;
  for (size_t k = first; k < expected.size(); ++k) {
    ScanStep step = scanner.next(record);
    if (expected[k].malformed) {
      FUZZ_CHECK(step == ScanStep::Malformed);
      continue;
    }
    FUZZ_CHECK(step == ScanStep::Record);
    FUZZ_CHECK(record.name(section) == expected[k].name);
    FUZZ_CHECK(record.header_start == expected[k].header_start);
    FUZZ_CHECK(record.end == expected[k].end);
    FUZZ_CHECK(value_bytes(section, record_value(section, record)) == expected[k].value);
  }
  FUZZ_CHECK(scanner.next(record) == ScanStep::End);
}

void check_lookups(std::string_view section, const std::vector<ReferenceRecord>& expected,
                   std::string_view extra_name) {
  bool malformed = false;
  for (const ReferenceRecord& record : expected) malformed = malformed || record.malformed;
  std::vector<std::string_view> names{extra_name};
  for (const ReferenceRecord& record : expected) {
    if (!record.malformed) names.push_back(record.name);
  }
  RecordIndexCell cell;
  for (int round = 0; round < 3; ++round) {
    RecordResult<size_t> counted = count(section, cell);
    FUZZ_CHECK(static_cast<bool>(counted) == !malformed);
    if (counted) FUZZ_CHECK(*counted == expected.size());
    for (std::string_view name : names) {
      const ReferenceRecord* last = nullptr;
      for (const ReferenceRecord& record : expected) {
        if (!record.malformed && record.name == name) last = &record;
      }
      RecordResult<std::optional<RecordValue>> found = find_last(section, cell, name);
      RecordResult<bool> present = contains(section, cell, name);
      FUZZ_CHECK(static_cast<bool>(found) == !malformed && static_cast<bool>(present) == !malformed);
      if (malformed) continue;
      FUZZ_CHECK(found->has_value() == (last != nullptr) && *present == (last != nullptr));
      if (last != nullptr) FUZZ_CHECK(value_bytes(section, **found) == last->value);
    }
  }
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace molbrook;
  using namespace molbrook::fuzz;
  FuzzedDataProvider input(data, size);
  std::string extra_name = input.ConsumeRandomLengthString(16);
  std::string remaining = input.ConsumeRemainingBytesAsString();
  if (!remaining.empty() && remaining.back() != '\n') remaining.push_back('\n');
  ExactBytes section(remaining);

  std::vector<ReferenceRecord> expected = reference_records(section.view());
  check_scan(section.view(), 0, expected, 0);
  for (size_t k = 0; k < expected.size(); ++k) {
    if (!expected[k].malformed) check_scan(section.view(), expected[k].end, expected, k + 1);
  }
  check_lookups(section.view(), expected, extra_name);
  return 0;
}
