#include "core/lint/scanner.hpp"

#include <algorithm>
#include <numeric>

#include "core/lint/apply_edits.hpp"
#include "core/lint/block_checks.hpp"
#include "core/lint/line_length.hpp"
#include "core/text/lines.hpp"

namespace molbrook::lint {
namespace {

bool has_lone_cr(std::string_view line) noexcept {
  for (size_t cr = find_byte(line, '\r'); cr != npos; cr = find_byte(line, '\r', cr + 1)) {
    if (cr + 1 == line.size() || line[cr + 1] != '\n') return true;
  }
  return false;
}

// The edit that gives a line ending of the `ending` kind at `at` the
// `target` ending (LF or CRLF).
void add_ending_edit(BlockReport& report, size_t finding, size_t at, Ending ending, Ending target) {
  switch (ending) {
    case Ending::CRLF:
      report.add_edit(finding, at, at + 1, {});
      break;
    case Ending::CR:
      report.add_edit(finding, at, at + 1, ending_text(target));
      break;
    case Ending::LF:  // the LF replaced, not a CR inserted: a deletion of the line takes it along
      report.add_edit(finding, at, at + 1, "\r\n");
      break;
  }
}

}  // namespace

ScanResult Scanner::scan(std::string_view text, size_t stop, bool at_start, bool at_eof, ByteBuffer* output) {
  ScanResult result;
  if (at_start && !first_ending_) first_ending_ = first_ending(text);
  LineCounter counter(text, kMaxLineCharacters);
  EndingSet candidates = options_.select.has(Code::F003) ? kAllEndings : 0;
  size_t at = 0;
  while (at < text.size() && at < stop) {
    std::string_view rest = text.substr(at);
    BlockEnd end = find_block_end(rest);
    // A $$$$ line is whole once its LF is there.
    if (!at_eof && !(end.found && rest[end.end - 1] == '\n')) break;
    std::string_view bytes = rest.substr(0, end.end);
    LineCounter at_block = counter;  // numbers the block's findings
    const bool file_start = at_start && at == 0;
    report_.start(at, result.blocks, output != nullptr, ending_text(target()));
    size_t blocks = 1;
    const size_t first_change = check_endings(bytes, 0, candidates);
    if (first_change != npos) {
      const EndingsRun run = endings_run(rest, end, at_eof);
      if (run.size == 0) break;
      if (candidates & ending_bit(target())) check_endings(rest.substr(0, run.size), bytes.size(), candidates);
      bytes = rest.substr(0, run.size);
      blocks = run.blocks;
      const size_t endings = write_endings_first(bytes, first_change, file_start, candidates, result, *output);
      at += bytes.size();
      counter.pass_lines(at, endings);
    } else {
      check_block(ScannedBlock::of(bytes, at, end.found, end.term_start), report_, names_, counter, file_start);
      if (output != nullptr) write_fixed(report_, bytes, at, result, *output);
      at += bytes.size();
      counter.advance(at);  // while the block's bytes are in cache
    }
    keep_findings(at_block, result, output == nullptr);
    result.blocks += blocks;
  }
  result.consumed = at;
  result.lines = counter.lines_passed();
  result.first_ending = first_ending_;
  return result;
}

// F003: the first ending of each kind in bytes[from, ...), as candidates.
// With its fix applied, where the first ending there that differs from the
// target is (npos: none). One walk serves both; it stops at that ending
// when no candidate of the target's kind is left, as fixing the endings
// visits every other one and finds the rest.
size_t Scanner::check_endings(std::string_view bytes, size_t from, EndingSet& candidates) {
  if (!options_.select.has(Code::F003)) return npos;
  const Ending target = this->target();
  EndingSet deviations =
      report_.fixing() && options_.fix.has(Code::F003) && first_ending_ ? kAllEndings & ~ending_bit(target) : 0;
  size_t first_change = npos;
  EndingSet wanted = candidates | deviations;
  if (wanted == 0) return npos;
  visit_endings(bytes, from, wanted, [&](size_t at, Ending ending) {
    if (candidates & ending_bit(ending)) {
      candidates &= ~ending_bit(ending);
      add_candidate(at, ending);
    }
    wanted = candidates | deviations;
    if (deviations & ending_bit(ending)) {
      first_change = at;
      deviations = 0;
      wanted = candidates & ending_bit(target) ? candidates : 0;
    }
  });
  return first_change;
}

// An F003 candidate, the first ending of its kind in the scan, at `at` in
// the block, with its edit when edits are asked for.
void Scanner::add_candidate(size_t at, Ending ending) {
  const size_t index = report_.add({.code = Code::F003, .detail = static_cast<uint8_t>(ending), .fix = FixKind::Safe,
                                    .offset = at, .length = ending == Ending::CRLF ? size_t{2} : size_t{1}});
  if (options_.edits && first_ending_ && ending != target()) add_ending_edit(report_, index, at, ending, target());
}

// The blocks whose line endings are fixed together, from the one that
// `end` ends: a lone CR in a $$$$ line ends that line where the fix puts a
// line ending, and the rest of it starts the next block, so the run goes
// on to the first $$$$ line without one. Size 0: that line is not all
// there yet.
Scanner::EndingsRun Scanner::endings_run(std::string_view rest, BlockEnd end, bool at_eof) noexcept {
  EndingsRun run{0, 0};
  for (;;) {
    const size_t start = run.size;
    run.size += end.end;
    ++run.blocks;
    if (!end.found || !has_lone_cr(rest.substr(start + end.term_start, end.end - end.term_start))) return run;
    if (run.size == rest.size()) return at_eof ? run : EndingsRun{0, 0};
    end = find_block_end(rest.substr(run.size));
    if (!at_eof && !(end.found && rest[run.size + end.end - 1] == '\n')) return {0, 0};
  }
}

// F003's fix goes first: the block's line endings become the target, and
// the other checks and fixes see what that leaves, which for a lone CR
// may be other lines and even other blocks. Fixes then never keep or add
// an ending that differs, and a second lint finds what the output holds.
// The blocks are made in the output and fixed there, each checked on its
// own (their findings are counted, not numbered). The F003 candidates
// left are those among the endings that change, from `first_change` on,
// before which every ending is the target's. Returns the line endings of
// `bytes`, counted in the copy before its edits, where each is the
// target's and holds one LF, while the copy is in cache.
size_t Scanner::write_endings_first(std::string_view bytes, size_t first_change, bool file_start,
                                    EndingSet& candidates, ScanResult& result, ByteBuffer& output) {
  size_t at = output.size();
  bool lone_cr = false;
  append_with_ending(bytes, first_change, target(), output, [&](size_t offset, Ending ending) {
    lone_cr |= ending == Ending::CR;
    if (!(candidates & ending_bit(ending))) return;
    candidates &= ~ending_bit(ending);
    add_candidate(offset, ending);
  });
  size_t endings = 0;
  while (at < output.size()) {
    std::string_view text = output.view().substr(at);
    // Only a lone CR made an LF can end a block early: without one, the
    // run is a single block and its $$$$ line is still its last.
    BlockEnd end = lone_cr ? find_block_end(text) : last_block_end(text);
    std::string_view block = text.substr(0, end.end);
    const size_t after = text.size() - block.size();  // bytes of the run's blocks after this one
    LineCounter counter(block, kMaxLineCharacters, target() == Ending::CRLF);
    inner_.start(0, 0, true, ending_text(target()));
    check_block(ScannedBlock::of(block, 0, end.found, end.term_start), inner_, names_, counter, file_start);
    file_start = false;
    counter.advance(block.size());  // on from where the checks left it
    endings += counter.lfs_passed();
    apply_edits_in_place(output, at, inner_.edits(), inner_.findings(), scratch_);
    count_fixes(inner_, result);
    at = output.size() - after;
  }
  return endings;
}

// Appends the block with the fixes of `report` applied, counting them.
void Scanner::write_fixed(BlockReport& report, std::string_view bytes, size_t offset, ScanResult& result,
                          ByteBuffer& output) {
  apply_edits(bytes, offset, report.edits(), report.findings(), output);
  count_fixes(report, result);
}

// The findings of `report` (but F003's), by whether their fixes applied.
void Scanner::count_fixes(BlockReport& report, ScanResult& result) {
  for (const Finding& finding : report.findings()) {
    if (finding.code == Code::F003) continue;
    auto& counts = finding.applied ? result.fixed : result.unfixed;
    ++counts[static_cast<size_t>(finding.code)];
  }
}

// The block's findings into the result, numbered: all of them, or with an
// output F003's only (the others are counted).
void Scanner::keep_findings(LineCounter& counter, ScanResult& result, bool all) {
  std::vector<Finding>& findings = report_.findings();
  std::vector<Edit>& edits = report_.edits();
  if (findings.empty()) return;
  number_lines(counter, all);
  order_.resize(findings.size());
  std::iota(order_.begin(), order_.end(), size_t{0});
  std::stable_sort(order_.begin(), order_.end(), [&](size_t a, size_t b) {
    return findings[a].offset != findings[b].offset ? findings[a].offset < findings[b].offset
                                                    : findings[a].code < findings[b].code;
  });
  for (size_t i : order_) {
    if (!all && findings[i].code != Code::F003) continue;
    if (options_.edits) {
      for (Edit& edit : edits) {
        if (edit.finding == i) result.edits.push_back(Edit{edit.start, edit.end, std::move(edit.text), result.findings.size()});
      }
    }
    result.findings.push_back(findings[i]);
  }
}

// Lines and columns of the block's findings that are kept (all, or F003's
// only), and the lines of the places they name.
void Scanner::number_lines(LineCounter& counter, bool all) {
  std::vector<Finding>& findings = report_.findings();
  positions_.clear();
  for (size_t i = 0; i < findings.size(); ++i) {
    if (!all && findings[i].code != Code::F003) continue;
    positions_.emplace_back(findings[i].offset, 2 * i);
    if (findings[i].related != kNoOffset) positions_.emplace_back(findings[i].related, 2 * i + 1);
  }
  std::sort(positions_.begin(), positions_.end());
  for (auto [offset, slot] : positions_) {
    counter.advance(offset);
    Finding& finding = findings[slot / 2];
    if (slot % 2 == 0) {
      finding.line = counter.line();
      finding.column = counter.column();
    } else {
      finding.related_line = counter.line();
    }
  }
}

}  // namespace molbrook::lint
