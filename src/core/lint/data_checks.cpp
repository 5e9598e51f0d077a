#include "core/lint/data_checks.hpp"

#include <algorithm>

#include "core/lint/line_counter.hpp"
#include "core/lint/line_length.hpp"
#include "core/records/record.hpp"
#include "core/text/lines.hpp"
#include "core/text/strip.hpp"

namespace molbrook::lint {
namespace {

// What a header straight after a value line looks like to readers that
// start a record at any line beginning with '>' and naming a <name>.
bool looks_like_header(std::string_view content) noexcept {
  std::string_view text = strip(content);
  if (!text.starts_with('>')) return false;
  size_t open = text.find('<', 1);
  return open != npos && text.find('>', open + 1) != npos;
}

bool is_outer_space(char byte) noexcept { return byte == ' ' || byte == '\t'; }

class DataCheck {
 public:
  DataCheck(const ScannedBlock& block, BlockReport& report, std::vector<SeenName>& names) noexcept
      : block_(block), report_(report), section_(block.sd_data()), base_(block.mdl_end), names_(names) {}

  bool run() {
    names_.clear();
    RecordScanner scanner(section_);
    bool open_end = false;
    size_t from = 0;
    for (ScannedRecord record;;) {
      const ScanStep step = scanner.next(record);
      const size_t to = step == ScanStep::Record ? record.header_start : scanner.position();
      check_gap(from, to, step == ScanStep::Record);
      if (step == ScanStep::End) break;
      if (step == ScanStep::Record) {
        check_header(record);
        check_values(record);
        open_end = check_ending(record);
      }
      from = scanner.position();
    }
    check_names();
    return open_end;
  }

 private:
  std::string_view line_text(size_t start, size_t end) const noexcept {
    return line_content(section_.substr(start, end - start));
  }

  size_t add(Finding finding) {
    finding.offset += base_;
    if (finding.related != kNoOffset) finding.related += base_;
    return report_.add(finding);
  }

  void add_edit(size_t finding, size_t start, size_t end, std::string_view text) {
    report_.add_edit(finding, base_ + start, base_ + end, text);
  }

  // Blank lines and paragraphs that are no record: D001 for blank lines
  // that only part M  END from the first header, D005 for a paragraph
  // opening with '>' (a header molbrook cannot read), D007 for any other.
  void check_gap(size_t from, size_t to, bool record_follows) {
    const bool leading = from == 0;
    size_t blank_end = from;  // of the blank lines that open the section
    bool in_paragraph = false;
    bool only_blank = true;
    LineScanner lines(section_.substr(0, to), from);
    for (Line line; lines.next(line);) {
      std::string_view content = line_text(line.start, line.end);
      if (is_blank(section_.substr(line.start, line.end - line.start))) {
        in_paragraph = false;
        if (only_blank) blank_end = line.end;
        continue;
      }
      if (in_paragraph) continue;
      in_paragraph = true;
      std::string_view text = strip(content);
      if (only_blank && leading && text.starts_with('>')) check_leading_blanks(blank_end);
      only_blank = false;
      if (text.starts_with('>')) {
        if (report_.wants(Code::D005)) {
          add({.code = Code::D005, .detail = static_cast<uint8_t>(text.starts_with("> ") ? 2 : 3),
               .offset = static_cast<size_t>(text.data() - section_.data()), .length = text.size(), .text = text});
        }
      } else if (report_.wants(Code::D007)) {
        add({.code = Code::D007, .offset = static_cast<size_t>(text.data() - section_.data()), .length = text.size(),
             .text = text});
      }
    }
    if (only_blank && leading && record_follows) check_leading_blanks(blank_end);
  }

  void check_leading_blanks(size_t blank_end) {
    if (blank_end == 0 || !report_.wants(Code::D001)) return;
    size_t lines = count_lines(section_.substr(0, blank_end));
    size_t index = add({.code = Code::D001, .fix = FixKind::Safe, .offset = 0, .length = blank_end,
                        .numbers = {static_cast<int64_t>(lines), 0, 0, 0}});
    if (report_.wants_edits(index)) add_edit(index, 0, blank_end, {});
  }

  // D005 for a name without its closing '>' or an empty one, I001, and
  // the name noted for D006.
  void check_header(const ScannedRecord& record) {
    std::string_view name = record.name(section_);
    std::string_view content = line_text(record.header_start, record.value_start);
    std::string_view text = strip(content);
    const size_t at = static_cast<size_t>(text.data() - section_.data());
    // The name runs to the last '>', or to the end of a line without one.
    const size_t name_end = record.name_start + record.name_size;
    const bool closed = name_end < section_.size() && section_[name_end] == '>';
    if (report_.wants(Code::D005) && (!closed || name.empty())) {
      add({.code = Code::D005, .detail = static_cast<uint8_t>(closed ? 1 : 0), .offset = at, .length = text.size(),
           .record = name, .text = text});
    }
    if (report_.wants(Code::I001)) {
      if (size_t characters = characters_over_limit(content)) {
        add({.code = Code::I001, .detail = 1, .offset = record.header_start, .length = content.size(),
             .record = name, .numbers = {static_cast<int64_t>(characters), 0, 0, 0}});
      }
    }
    if (report_.wants(Code::D006)) names_.push_back({name, record.header_start});
  }

  // D003 for each value line that other readers take for a header; I002
  // for the first line with outer spaces.
  void check_values(const ScannedRecord& record) {
    std::string_view name = record.name(section_);
    bool spaced = !report_.wants(Code::I002);
    LineScanner lines(section_.substr(0, record.lines_end), record.value_start);
    for (Line line; lines.next(line);) {
      std::string_view content = line_text(line.start, line.end);
      if (report_.wants(Code::D003) && looks_like_header(content)) {
        size_t index = add({.code = Code::D003, .fix = FixKind::Unsafe, .offset = line.start,
                            .length = content.size(), .record = name, .text = content});
        if (report_.wants_edits(index)) add_edit(index, line.start, line.start, report_.ending());
      }
      if (!spaced) spaced = check_outer_spaces(content, line.start, name);
    }
  }

  bool check_outer_spaces(std::string_view content, size_t start, std::string_view name) {
    size_t leading = 0;
    while (leading < content.size() && is_outer_space(content[leading])) ++leading;
    size_t trailing = 0;
    while (trailing < content.size() - leading && is_outer_space(content[content.size() - 1 - trailing])) ++trailing;
    if (leading == 0 && trailing == 0) return false;
    const size_t offset = leading != 0 ? start : start + content.size() - trailing;
    add({.code = Code::I002, .detail = static_cast<uint8_t>(leading == 0), .offset = offset,
         .length = leading != 0 ? leading : trailing, .record = name});
    return true;
  }

  // D002 for a closing line of whitespace; D004 for no closing line
  // before $$$$. Returns true for no closing line at the end of a block
  // without $$$$.
  bool check_ending(const ScannedRecord& record) {
    std::string_view name = record.name(section_);
    if (record.end == record.lines_end) {
      if (!block_.terminated) return true;
      if (report_.wants(Code::D004)) {
        const size_t term = block_.term_start - base_;
        size_t index = add({.code = Code::D004, .fix = FixKind::Safe, .offset = term,
                            .length = line_content(block_.bytes.substr(block_.term_start)).size(), .record = name});
        if (report_.wants_edits(index)) add_edit(index, term, term, report_.ending());
      }
      return false;
    }
    std::string_view content = line_text(record.lines_end, record.end);
    if (!report_.wants(Code::D002) || content.find_first_not_of('\r') == npos) return false;
    size_t index = add({.code = Code::D002, .fix = FixKind::Safe, .offset = record.lines_end, .length = content.size(),
                        .record = name});
    if (!report_.wants_edits(index)) return false;
    // The spaces go; a CR among them is F003's to mend.
    for (size_t at = 0; at < content.size();) {
      size_t run_end = std::min(content.find('\r', at), content.size());
      if (run_end > at) add_edit(index, record.lines_end + at, record.lines_end + run_end, {});
      at = run_end + 1;
    }
    return false;
  }

  // D006 for every record after the first of its name, naming where the
  // first one is.
  void check_names() {
    if (names_.size() < 2) return;
    // By name, then header: the order a stable sort by name gives, without
    // the buffer that one allocates for every block.
    std::sort(names_.begin(), names_.end(), [](const SeenName& a, const SeenName& b) {
      const int order = a.name.compare(b.name);  // one comparison of the bytes, not two
      return order != 0 ? order < 0 : a.header < b.header;
    });
    for (size_t i = 1, first = 0; i < names_.size(); ++i) {
      if (names_[i].name != names_[first].name) {
        first = i;
        continue;
      }
      std::string_view content = line_text(names_[i].header, next_line_end(section_, names_[i].header));
      add({.code = Code::D006, .offset = names_[i].header, .length = content.size(), .related = names_[first].header,
           .record = names_[i].name});
    }
  }

  const ScannedBlock& block_;
  BlockReport& report_;
  std::string_view section_;
  size_t base_;  // of the section in the block
  std::vector<SeenName>& names_;
};

}  // namespace

bool check_sd_data(const ScannedBlock& block, BlockReport& report, std::vector<SeenName>& names) {
  if (block.mdl_end == block.term_start) return false;
  return DataCheck(block, report, names).run();
}

}  // namespace molbrook::lint
