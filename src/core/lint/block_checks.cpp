#include "core/lint/block_checks.hpp"

#include <optional>
#include <string>

#include "core/lint/ctab_checks.hpp"
#include "core/lint/line_counter.hpp"
#include "core/text/lines.hpp"
#include "core/text/strip.hpp"
#include "core/text/utf8.hpp"

namespace molbrook::lint {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Marks repeated at the start are one finding, removed together: the
// file after the fix starts with none.
void check_byte_order_mark(const ScannedBlock& block, BlockReport& report) {
  if (!report.wants(Code::F004)) return;
  size_t length = 0;
  while (block.bytes.substr(length).starts_with(kByteOrderMark)) length += kByteOrderMark.size();
  if (length == 0) return;
  size_t index = report.add({.code = Code::F004, .fix = FixKind::Safe, .offset = 0, .length = length});
  if (report.wants_edits(index)) report.add_edit(index, 0, length, {});
}

// F005. Returns whether the molfile part (up to mdl_end) is valid UTF-8,
// when it looked: no sequence reaches across mdl_end, which follows an LF
// or ends the block, so the whole block's first bad one tells.
std::optional<bool> check_utf8(const ScannedBlock& block, BlockReport& report) {
  if (!report.wants(Code::F005)) return std::nullopt;
  std::optional<Utf8Error> error = find_invalid_utf8(block.bytes);
  if (!error) return true;
  report.add({.code = Code::F005, .offset = error->start, .length = error->end - error->start,
              .text = block.bytes.substr(error->start, error->end - error->start)});
  return error->start >= block.mdl_end;
}

// A last block without $$$$: whitespace alone reads as one more, empty,
// block (F002, removed); anything else gets its $$$$ line (F001), after
// an empty line when its last record has none.
void check_file_end(const ScannedBlock& block, BlockReport& report, bool open_record) {
  std::string_view bytes = block.bytes;
  if (is_blank(bytes)) {
    if (bytes.empty() || !report.wants(Code::F002)) return;
    const auto lines = static_cast<int64_t>(count_lines(bytes));
    size_t index = report.add({.code = Code::F002, .fix = FixKind::Safe, .offset = 0, .length = bytes.size(),
                               .numbers = {lines, 0, 0, 0}});
    if (report.wants_edits(index)) report.add_edit(index, 0, bytes.size(), {});
    return;
  }
  if (!report.wants(Code::F001)) return;
  size_t index = report.add({.code = Code::F001, .fix = FixKind::Safe, .offset = bytes.size(), .length = 0});
  if (!report.wants_edits(index)) return;
  std::string_view ending = report.ending();
  std::string text(bytes.ends_with('\n') ? "" : bytes.ends_with('\r') ? "\n" : ending);
  if (open_record) text += ending;
  text += kDollars;
  text += ending;
  report.add_edit(index, bytes.size(), bytes.size(), text);
}

}  // namespace

void check_block(const ScannedBlock& block, BlockReport& report, std::vector<SeenName>& names,
                 LineCounter& counter, bool file_start) {
  if (file_start) check_byte_order_mark(block, report);
  const std::optional<bool> molfile_utf8 = check_utf8(block, report);
  check_molfile(block, report, counter, molfile_utf8);
  const bool open_record = check_sd_data(block, report, names);
  if (!block.terminated) check_file_end(block, report, open_record);
}

}  // namespace molbrook::lint
