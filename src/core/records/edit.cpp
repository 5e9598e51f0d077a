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

// The records of the section named `name`; MalformedRecord at a header
// line without a name.
EditResult<std::vector<ScannedRecord>> records_named(std::string_view section, std::string_view name) {
  std::vector<ScannedRecord> matches;
  if (!visit_records(section, [&](const ScannedRecord& record) {
        if (record.name(section) == name) matches.push_back(record);
      })) {
    return EditError::MalformedRecord;
  }
  return matches;
}

// The SD data of `out`, new bytes for the block that keep its $$$$ line.
std::string_view section_of(const Block& block, const ByteBuffer& out, size_t section_start) noexcept {
  return out.view().substr(section_start, out.size() - section_start - block.terminator_length());
}

// Whether an edit that gives the block `section` as its SD data keeps its
// records readable. Records that do not read back already, after an MDL
// or molblock set to text without an M  END line, are the setter's.
bool keeps_records_readable(const Block& block, std::string_view section) {
  return block.records_read_back(section) || !block.records_read_back(block.sd_data());
}

// Swaps in `out`, the block's bytes with its SD data edited, when that
// keeps the records readable.
EditStatus commit_section(Block& block, ByteBuffer out) {
  if (!keeps_records_readable(block, section_of(block, out, block.mdl_end()))) return EditError::RecordsNotReadBack;
  block.replace_bytes(std::move(out));
  return std::nullopt;
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

EditStatus append_record(Block& block, std::string_view name, std::string_view value, HeaderStyle style) {
  // Taken from the block as it is: a block without a title line gets an
  // empty one, ending as its $$$$ line does, which leaves it without MDL
  // and records, as it is now.
  const std::string_view section = block.sd_data();
  const std::string_view ending = block.title_line_ending();
  const HeaderFrame frame = header_frame(style, template_for(style, section), section);
  const bool separator = needs_separator(section);
  ByteBuffer record;
  record.reserve((separator ? ending.size() : 0) + new_header_size(frame, name, ending) + value_size(value, ending));
  if (separator) record.append(ending);
  write_new_header(record, frame, name, ending);
  write_value(record, value, ending);
  if (!block.records_read_back(section, record.view()) && block.records_read_back(section)) {
    return EditError::RecordsNotReadBack;
  }

  const std::string_view terminator = terminator_ending(block);
  block.ensure_title_line();
  const size_t terminator_size = block.terminator_length();
  ByteBuffer& bytes = block.make_owned(record.size());
  bytes.set_size(bytes.size() - terminator_size);
  bytes.append(record.view());
  bytes.append(kDollars);
  bytes.append(terminator);
  return std::nullopt;
}

EditResult<size_t> set_or_remove(Block& block, std::string_view name, std::optional<std::string_view> value) {
  const std::string_view section = block.sd_data();
  EditResult<std::vector<ScannedRecord>> matches = records_named(section, name);
  if (!matches) return matches.error();
  if (matches->empty()) return size_t{0};

  const std::string_view all = block.bytes();
  const std::string_view ending = block.title_line_ending();
  const size_t section_start = block.mdl_end();
  ByteBuffer out;
  out.reserve(all.size() + (value ? value_size(*value, ending) : 0));
  out.append(all.substr(0, section_start));
  size_t copied = 0;  // offset in the section up to which it is copied
  for (const ScannedRecord& match : *matches) {
    out.append(section.substr(copied, match.header_start - copied));
    if (value && &match == &matches->front()) {
      out.append(match.header_line(section));  // with its own line ending
      write_value(out, *value, ending);
    }
    copied = match.end;
  }
  out.append(all.substr(section_start + copied));
  if (EditStatus refused = commit_section(block, std::move(out))) return *refused;
  return matches->size();
}

EditStatus set_record(Block& block, std::string_view name, std::string_view value, HeaderStyle style) {
  EditResult<size_t> found = set_or_remove(block, name, value);
  if (!found) return found.error();
  return *found == 0 ? append_record(block, name, value, style) : std::nullopt;
}

EditResult<size_t> rename_records(Block& block, std::string_view old_name, std::string_view new_name) {
  const std::string_view section = block.sd_data();
  EditResult<std::vector<ScannedRecord>> matches = records_named(section, old_name);
  if (!matches) return matches.error();
  if (matches->empty() || old_name == new_name) return matches->size();

  const bool closes = !new_name.empty() && is_ascii_whitespace(new_name.back());
  const std::string_view all = block.bytes();
  const size_t section_start = block.mdl_end();
  ByteBuffer out;
  out.reserve(all.size() + matches->size() * (new_name.size() + 1));
  out.append(all.substr(0, section_start + matches->front().name_start));
  for (size_t i = 0; i < matches->size(); ++i) {
    const size_t name_end = (*matches)[i].name_start + (*matches)[i].name_size;
    out.append(new_name);
    if (closes && (name_end == section.size() || section[name_end] != '>')) out.append(">");
    const size_t next = i + 1 < matches->size() ? (*matches)[i + 1].name_start : section.size();
    out.append(section.substr(name_end, next - name_end));
  }
  out.append(block.terminator());
  if (EditStatus refused = commit_section(block, std::move(out))) return *refused;
  return matches->size();
}

EditStatus replace_records(Block& block, std::span<const RecordPair> records, HeaderStyle style) {
  // A block without a title line gets an empty one for its records, as in
  // append_record: the new bytes begin with it.
  const bool add_title_line = !records.empty() && block.title_end() == 0;
  const std::string_view ending = block.title_line_ending();
  const std::string_view head = block.bytes().substr(0, block.mdl_end());
  const std::string_view old = block.sd_data();
  const HeaderFrame frame = header_frame(style, template_for(style, old), old);

  size_t size = (add_title_line ? ending.size() : 0) + head.size() + block.terminator_length();
  for (const RecordPair& record : records) {
    size += new_header_size(frame, record.name, ending) + value_size(record.value, ending);
  }
  ByteBuffer out;
  out.reserve(size);
  out.append(add_title_line ? ending : std::string_view());
  out.append(head);
  const size_t section_start = out.size();
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
  if (!keeps_records_readable(block, section_of(block, out, section_start))) return EditError::RecordsNotReadBack;
  if (add_title_line) block.ensure_title_line();
  block.replace_bytes(std::move(out));
  return std::nullopt;
}

}  // namespace molbrook
