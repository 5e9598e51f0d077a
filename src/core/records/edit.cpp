#include "core/records/edit.hpp"

#include <algorithm>
#include <vector>

#include "core/text/lines.hpp"
#include "core/text/strip.hpp"

namespace molbrook {
namespace {

// The text around the name in a new header line.
struct HeaderFrame {
  std::string_view prefix;
  std::string_view suffix;
};

// For Copy, the template's ranges in `section`, which must stay valid while
// the frame is used; Plain when there is no template.
HeaderFrame header_frame(HeaderStyle style, std::optional<HeaderTemplate> found, std::string_view section) noexcept {
  if (style == HeaderStyle::Padded) return {">  <", ">"};
  if (style == HeaderStyle::Copy && found) {
    return {section.substr(found->prefix_start, found->prefix_end - found->prefix_start),
            section.substr(found->suffix_start, found->suffix_end - found->suffix_start)};
  }
  return {"> <", ">"};
}

std::optional<HeaderTemplate> template_for(HeaderStyle style, std::string_view section) noexcept {
  return style == HeaderStyle::Copy ? header_template(section) : std::nullopt;
}

size_t new_header_size(HeaderFrame frame, std::string_view name, std::string_view ending) noexcept {
  return frame.prefix.size() + name.size() + frame.suffix.size() + ending.size();
}

void write_new_header(ByteBuffer& out, HeaderFrame frame, std::string_view name, std::string_view ending) {
  out.append(frame.prefix);
  out.append(name);
  out.append(frame.suffix);
  out.append(ending);
}

// The value, its line ending and the blank line that closes the record.
void write_value(ByteBuffer& out, std::string_view value, std::string_view ending) {
  out.append(value);
  out.append(ending);
  out.append(ending);
}

size_t value_size(std::string_view value, std::string_view ending) noexcept { return value.size() + 2 * ending.size(); }

// "\r\n" or "\n", after the four dollar signs of the block's $$$$ line.
std::string_view terminator_ending(const Block& block) noexcept {
  return block.terminator().ends_with(kCRLF) ? kCRLF : kLF;
}

// An unclosed last record (its last line not blank) needs a line ending
// before a new one. The section's final LF ends its last line and starts
// no line of its own.
bool needs_separator(std::string_view section) noexcept {
  if (section.ends_with('\n')) section.remove_suffix(1);
  if (section.empty()) return false;
  size_t last_lf = section.rfind('\n');
  return !is_blank(last_lf == npos ? section : section.substr(last_lf + 1));
}

// Hands out the old header lines for the new records of replace_records.
// While the new names follow the old ones, a cursor walks the old records;
// at the first difference the old records left are sorted by name, and
// each name then takes its first header not yet taken.
class OldHeaders {
 public:
  explicit OldHeaders(std::string_view section) noexcept : section_(section), scanner_(section) { advance(); }

  std::optional<std::string_view> take(std::string_view name) {
    if (!sorted_) {
      if (at_record_ && cursor_.name(section_) == name) {
        std::string_view line = cursor_.header_line(section_);
        advance();
        return line;
      }
      sort_remaining();
    }
    return take_sorted(name);
  }

 private:
  struct Entry {
    std::string_view name;
    std::string_view header_line;
    size_t next_free;  // on a name's first entry: the next entry to hand out
  };

  // To the next well-formed record; malformed ones are skipped.
  void advance() noexcept {
    ScanStep step;
    while ((step = scanner_.next(cursor_)) == ScanStep::Malformed) {
    }
    at_record_ = step == ScanStep::Record;
  }

  // Stable, so that the headers of one name keep their order.
  void sort_remaining() {
    sorted_ = true;
    for (; at_record_; advance()) entries_.push_back({cursor_.name(section_), cursor_.header_line(section_), 0});
    std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    for (size_t i = 0; i < entries_.size(); ++i) entries_[i].next_free = i;
  }

  std::optional<std::string_view> take_sorted(std::string_view name) noexcept {
    auto first = std::lower_bound(entries_.begin(), entries_.end(), name,
                                  [](const Entry& entry, std::string_view key) { return entry.name < key; });
    if (first == entries_.end() || first->name != name) return std::nullopt;
    size_t free = first->next_free;
    if (free == entries_.size() || entries_[free].name != name) return std::nullopt;
    first->next_free = free + 1;
    return entries_[free].header_line;
  }

  std::string_view section_;
  RecordScanner scanner_;
  ScannedRecord cursor_;
  bool at_record_ = false;
  bool sorted_ = false;
  std::vector<Entry> entries_;
};

}  // namespace

std::optional<HeaderTemplate> header_template(std::string_view section) noexcept {
  RecordScanner scanner(section);
  ScannedRecord first;
  ScanStep step;
  while ((step = scanner.next(first)) == ScanStep::Malformed) {
  }
  if (step == ScanStep::End) return std::nullopt;
  size_t name_end = first.name_start + first.name_size;
  if (name_end == section.size() || section[name_end] != '>') return std::nullopt;
  size_t content_end = first.header_start + line_content(first.header_line(section)).size();
  return HeaderTemplate{first.header_start, first.name_start, name_end, content_end};
}

void write_new_record(ByteBuffer& out, std::string_view name, std::string_view value, std::string_view ending) {
  const HeaderFrame frame = header_frame(HeaderStyle::Plain, std::nullopt, {});
  out.reserve_extra(new_header_size(frame, name, ending) + value_size(value, ending));
  write_new_header(out, frame, name, ending);
  write_value(out, value, ending);
}

void append_record(Block& block, std::string_view name, std::string_view value, HeaderStyle style) {
  block.ensure_title_line();
  const std::string_view ending = block.title_line_ending();
  const std::string_view terminator = terminator_ending(block);
  const size_t terminator_size = block.terminator_length();
  const std::optional<HeaderTemplate> found = template_for(style, block.sd_data());
  const bool separator = needs_separator(block.sd_data());
  const size_t record_size = (separator ? ending.size() : 0) +
                             new_header_size(header_frame(style, found, block.sd_data()), name, ending) +
                             value_size(value, ending);
  // Owned with room for the record up front (a mapped block copied once),
  // the buffer no longer moves, so the template's slices of it stay valid
  // while the record is written after them.
  ByteBuffer& bytes = block.make_owned(record_size);
  const HeaderFrame frame = header_frame(style, found, block.sd_data());
  bytes.set_size(bytes.size() - terminator_size);
  if (separator) bytes.append(ending);
  write_new_header(bytes, frame, name, ending);
  write_value(bytes, value, ending);
  bytes.append(kDollars);
  bytes.append(terminator);
}

RecordResult<size_t> set_or_remove(Block& block, std::string_view name, std::optional<std::string_view> value) {
  const std::string_view section = block.sd_data();
  std::vector<ScannedRecord> matches;
  if (!visit_records(section, [&](const ScannedRecord& record) {
        if (record.name(section) == name) matches.push_back(record);
      })) {
    return MalformedRecord{};
  }
  if (matches.empty()) return size_t{0};

  const std::string_view all = block.bytes();
  const std::string_view ending = block.title_line_ending();
  const size_t section_start = block.mdl_end();
  ByteBuffer out;
  out.reserve(all.size() + (value ? value_size(*value, ending) : 0));
  out.append(all.substr(0, section_start));
  size_t copied = 0;  // offset in the section up to which it is copied
  for (const ScannedRecord& match : matches) {
    out.append(section.substr(copied, match.header_start - copied));
    if (value && &match == &matches.front()) {
      out.append(match.header_line(section));  // with its own line ending
      write_value(out, *value, ending);
    }
    copied = match.end;
  }
  out.append(all.substr(section_start + copied));
  block.replace_bytes(std::move(out));
  return matches.size();
}

void replace_records(Block& block, std::span<const RecordPair> records, HeaderStyle style) {
  if (!records.empty()) block.ensure_title_line();
  const std::string_view all = block.bytes();
  const std::string_view ending = block.title_line_ending();
  const std::string_view old = block.sd_data();
  const HeaderFrame frame = header_frame(style, template_for(style, old), old);

  size_t size = block.mdl_end() + block.terminator_length();
  for (const RecordPair& record : records) {
    size += new_header_size(frame, record.name, ending) + value_size(record.value, ending);
  }
  ByteBuffer out;
  out.reserve(size);
  out.append(all.substr(0, block.mdl_end()));
  OldHeaders headers(old);
  for (const RecordPair& record : records) {
    if (std::optional<std::string_view> line = headers.take(record.name)) {
      out.append(*line);  // with its own line ending
    } else {
      write_new_header(out, frame, record.name, ending);
    }
    write_value(out, record.value, ending);
  }
  out.append(block.terminator());
  block.replace_bytes(std::move(out));
}

}  // namespace molbrook
