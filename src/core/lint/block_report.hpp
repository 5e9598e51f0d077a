// One block as the checks see it, and what they report about it.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/lint/code.hpp"
#include "core/lint/finding.hpp"

namespace molbrook::lint {

// What a scan looks for and what it does about it.
struct LintOptions {
  CodeSet select;       // the codes to look for
  CodeSet fix;          // the codes whose fixes are applied, when there is an output
  bool unsafe = false;  // unsafe fixes too
  bool edits = false;   // every fixable finding gets its edits, applied or not
};

// A block's bytes: through the line ending of its $$$$ line, or to the end
// of the input for a last block without one. The sections are those of a
// Block built from them (core/block.hpp).
struct ScannedBlock {
  std::string_view bytes;
  size_t offset;      // of its first byte in the scan
  size_t term_start;  // where its $$$$ line starts; bytes.size() without one
  size_t title_end;
  size_t mdl_end;
  bool terminated;
  bool has_m_end;

  static ScannedBlock of(std::string_view bytes, size_t offset, bool terminated, size_t term_start) noexcept;

  std::string_view body() const noexcept { return bytes.substr(0, term_start); }
  std::string_view sd_data() const noexcept { return bytes.substr(mdl_end, term_start - mdl_end); }
};

// The findings and edits of one block. Checks give offsets into the block;
// they are kept as offsets into the scan.
class BlockReport {
 public:
  explicit BlockReport(const LintOptions& options) noexcept : options_(options) {}

  void start(size_t offset, size_t ordinal, bool fixing, std::string_view ending) noexcept;

  bool wants(Code code) const noexcept { return options_.select.has(code); }
  // What every line the fixes add ends with.
  std::string_view ending() const noexcept { return ending_; }

  // Adds a finding (its offsets in the block) and returns its index.
  size_t add(Finding finding);
  // Whether the edits of finding `index` are wanted: its fix is applied,
  // or every fixable finding's edits are asked for.
  bool wants_edits(size_t index) const noexcept;
  // An edit of finding `index` (kNoFinding: of no finding), in the block.
  void add_edit(size_t index, size_t start, size_t end, std::string_view text);

  std::vector<Finding>& findings() noexcept { return findings_; }
  std::vector<Edit>& edits() noexcept { return edits_; }
  bool fixing() const noexcept { return fixing_; }

  static constexpr size_t kNoFinding = SIZE_MAX;

 private:
  const LintOptions& options_;
  std::vector<Finding> findings_;
  std::vector<Edit> edits_;
  std::string_view ending_;
  size_t offset_ = 0;
  size_t ordinal_ = 0;
  bool fixing_ = false;
};

}  // namespace molbrook::lint
