// SD data records: reading them out of a block's SD data section.
//
// A record is a header line, the first line of a paragraph whose trimmed
// content starts with "> ", and the value lines after it up to the first
// blank line, which belongs to the record. A paragraph that starts with
// anything else is junk and skipped whole. Records are never stored: names
// and values are offsets into the section, found again on every read.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/base/result.hpp"
#include "core/block.hpp"
#include "core/text/lines.hpp"

namespace molbrook {

// The error of every reader that meets a header line without a <name>.
struct MalformedRecord {};

// A reader's result, or MalformedRecord.
template <class T>
using RecordResult = Result<T, MalformedRecord>;

// One record of a section; offsets relative to the section.
struct ScannedRecord {
  size_t header_start = 0;  // first byte of the header line
  size_t value_start = 0;   // just past the header line
  size_t lines_end = 0;     // just past the last value line (value_start if none)
  size_t end = 0;           // just past the closing blank line, or the section end
  size_t name_start = 0;
  size_t name_size = 0;
  bool inner_crlf = false;  // a value line other than the last ends with CRLF

  std::string_view name(std::string_view section) const noexcept { return section.substr(name_start, name_size); }
  std::string_view header_line(std::string_view section) const noexcept {
    return section.substr(header_start, value_start - header_start);
  }
};

enum class ScanStep { Record, Malformed, End };

// Walks the records of a section. After a Malformed step the rest of that
// paragraph is already skipped, so a caller may go on; every reader of the
// library stops there instead.
class RecordScanner {
 public:
  // `from` is 0 for a fresh scan, or where a previous record ended.
  explicit RecordScanner(std::string_view section, size_t from = 0) noexcept : section_(section), lines_(section, from) {}

  ScanStep next(ScannedRecord& record) noexcept;

  // Where the scan goes on: past the last line a step read.
  size_t position() const noexcept { return lines_.position(); }

 private:
  std::string_view text(Line line) const noexcept { return section_.substr(line.start, line.end - line.start); }
  void take_value_lines(ScannedRecord& record) noexcept;
  void skip_paragraph() noexcept;

  std::string_view section_;
  LineScanner lines_;
};

// Calls visit(record) for every record of the section, in order. Returns
// false at the first malformed header, after visiting the records before
// it.
template <class Visit>
bool visit_records(std::string_view section, Visit&& visit) {
  RecordScanner scanner(section);
  for (ScannedRecord record;;) {
    switch (scanner.next(record)) {
      case ScanStep::Record:
        visit(record);
        break;
      case ScanStep::Malformed:
        return false;
      case ScanStep::End:
        return true;
    }
  }
}

// The SD data section to read records from; empty when it holds no ">",
// so no header line. Its M  END line is found by memchr, which the C
// library runs at the machine's widest vector: quicker through a block
// without records than a search from the end for a ">" it does not hold.
std::string_view record_section(const Block& block) noexcept;

// A name inside the header text it was parsed from.
struct NameRange {
  size_t start;
  size_t size;
};

// The name in a header line's trimmed content after its "> ": from the
// first "<" to the last ">" (or to the end when there is no ">"). Nothing
// when no "<" comes before that point: the header is malformed.
std::optional<NameRange> parse_header_name(std::string_view rest) noexcept;

// A record's value: section[start, end), its lines without their endings
// joined by their inner line endings. `fold` is set when one of those is
// CRLF, which the value reads as LF.
struct RecordValue {
  size_t start;
  size_t end;
  bool fold;
};

RecordValue record_value(std::string_view section, const ScannedRecord& record) noexcept;

// `bytes` with every CRLF replaced by LF: appended to `out`, or as a copy.
void append_folded(ByteBuffer& out, std::string_view bytes);
ByteBuffer fold_crlf(std::string_view bytes);

}  // namespace molbrook
