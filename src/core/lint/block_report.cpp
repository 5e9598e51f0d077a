#include "core/lint/block_report.hpp"

#include <utility>

#include "core/block.hpp"
#include "core/text/lines.hpp"

namespace molbrook::lint {

ScannedBlock ScannedBlock::of(std::string_view bytes, size_t offset, bool terminated, size_t term_start) noexcept {
  ScannedBlock block{bytes, offset, terminated ? term_start : bytes.size(), 0, 0, terminated, false};
  if (block.term_start != 0) block.title_end = next_line_end(bytes, 0);
  // The data checks see the records molbrook reads, also in a block of
  // records without a molecule.
  MdlEnd end = mdl_end_as_read(bytes.substr(block.title_end, block.term_start - block.title_end));
  block.has_m_end = end.has_m_end;
  block.mdl_end = block.title_end + end.offset;
  return block;
}

void BlockReport::start(size_t offset, size_t ordinal, bool fixing, std::string_view ending) noexcept {
  findings_.clear();
  edits_.clear();
  offset_ = offset;
  ordinal_ = ordinal;
  fixing_ = fixing;
  ending_ = ending;
}

size_t BlockReport::add(Finding finding) {
  finding.block = ordinal_;
  finding.offset += offset_;
  if (finding.related != kNoOffset) finding.related += offset_;
  findings_.push_back(finding);
  return findings_.size() - 1;
}

bool BlockReport::wants_edits(size_t index) const noexcept {
  const Finding& finding = findings_[index];
  if (finding.fix == FixKind::None) return false;
  if (options_.edits) return true;
  return fixing_ && options_.fix.has(finding.code) && (finding.fix == FixKind::Safe || options_.unsafe);
}

void BlockReport::add_edit(size_t index, size_t start, size_t end, std::string_view text) {
  edits_.push_back(Edit{offset_ + start, offset_ + end, std::string(text), index});
}

}  // namespace molbrook::lint
