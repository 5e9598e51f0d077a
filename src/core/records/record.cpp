#include "core/records/record.hpp"

#include "core/text/header_line.hpp"
#include "core/text/search.hpp"
#include "core/text/strip.hpp"

namespace molbrook {

ScanStep RecordScanner::next(ScannedRecord& record) noexcept {
  Line line;
  std::string_view trimmed;
  for (;;) {
    if (!lines_.next(line)) return ScanStep::End;
    std::string_view line_text = text(line);
    if (is_blank(line_text)) continue;
    trimmed = strip(line_text);
    if (trimmed.starts_with(kHeaderMark)) break;
    skip_paragraph();
  }
  std::string_view rest = trimmed.substr(kHeaderMark.size());
  std::optional<NameRange> name = parse_header_name(rest);
  if (!name) {
    skip_paragraph();
    return ScanStep::Malformed;
  }
  record.header_start = line.start;
  record.value_start = line.end;
  record.name_start = static_cast<size_t>(rest.data() - section_.data()) + name->start;
  record.name_size = name->size;
  take_value_lines(record);
  return ScanStep::Record;
}

// Every line up to the first blank one is a value line, whatever it looks
// like, "> <" included.
void RecordScanner::take_value_lines(ScannedRecord& record) noexcept {
  size_t lines_end = record.value_start;
  bool crlf = false;  // the line before ends with CRLF
  record.inner_crlf = false;
  Line line;
  while (lines_.next(line)) {
    std::string_view line_text = text(line);
    if (is_blank(line_text)) {
      record.lines_end = lines_end;
      record.end = line.end;
      return;
    }
    record.inner_crlf = record.inner_crlf || crlf;
    crlf = line_text.ends_with(kCRLF);
    lines_end = line.end;
  }
  record.lines_end = record.end = lines_end;
}

void RecordScanner::skip_paragraph() noexcept {
  Line line;
  while (lines_.next(line) && !is_blank(text(line))) {
  }
}

std::string_view record_section(const Block& block) noexcept {
  const std::string_view section = block.sd_data();
  return find_byte(section, '>') == npos ? std::string_view{} : section;
}

std::optional<NameRange> parse_header_name(std::string_view rest) noexcept {
  size_t close = rest.rfind('>');
  if (close == npos) close = rest.size();
  size_t open = rest.substr(0, close).find('<');
  if (open == npos) return std::nullopt;
  return NameRange{open + 1, close - open - 1};
}

// The value runs to the end of the last value line's content; the line
// endings left inside it are those of the earlier lines.
RecordValue record_value(std::string_view section, const ScannedRecord& record) noexcept {
  std::string_view value = line_content(section.substr(record.value_start, record.lines_end - record.value_start));
  return {record.value_start, record.value_start + value.size(), record.inner_crlf};
}

void append_folded(ByteBuffer& out, std::string_view bytes) {
  out.reserve_extra(bytes.size());
  size_t from = 0;
  for (size_t hit; (hit = find(bytes, {kCRLF, 0}, from)) != npos; from = hit + 1) {
    out.append(bytes.substr(from, hit - from));  // the LF starts the next run
  }
  out.append(bytes.substr(from));
}

ByteBuffer fold_crlf(std::string_view bytes) {
  ByteBuffer out;
  append_folded(out, bytes);
  return out;
}

}  // namespace molbrook
