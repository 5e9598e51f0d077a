// The linter's scan: the blocks of a stretch of a file, every check run on
// each, findings numbered by line and column, and with an output, the
// blocks written back with their fixes applied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/lint/block_report.hpp"
#include "core/lint/data_checks.hpp"
#include "core/lint/endings.hpp"
#include "core/lint/finding.hpp"
#include "core/lint/line_counter.hpp"
#include "core/text/lines.hpp"

namespace molbrook::lint {

struct ScanResult {
  size_t consumed = 0;  // bytes of the blocks scanned, from the start of the text
  size_t lines = 0;     // line endings in them, a lone CR one too
  size_t blocks = 0;
  // The ending of the file's first line, once a scan has seen it.
  std::optional<Ending> first_ending;
  // In file order. F003 is reported as candidates: the first line ending
  // of each kind the scan meets (the caller, which sees every scan of the
  // file in order, decides which one differs from the first line's).
  // With an output only these are kept; the other findings are counted.
  std::vector<Finding> findings;
  // With LintOptions::edits, the edits of the fixable findings, their
  // `finding` an index into `findings`.
  std::vector<Edit> edits;
  std::array<uint64_t, kCodeCount> fixed{};
  std::array<uint64_t, kCodeCount> unfixed{};
};

class Scanner {
 public:
  // `first_ending`: the file's first line's ending, when an earlier scan
  // of the file saw it.
  Scanner(const LintOptions& options, std::optional<Ending> first_ending) noexcept
      : options_(options), first_ending_(first_ending), report_(options_), inner_(options_) {}

  // Scans the blocks of `text` that start before `stop`. A block that may
  // go on past the end of `text` is left for a later scan, unless
  // `at_eof`. `at_start`: the text starts the file. With `output`, the
  // blocks are appended to it with their fixes applied. Touches no Python
  // object.
  ScanResult scan(std::string_view text, size_t stop, bool at_start, bool at_eof, ByteBuffer* output);

 private:
  // The ending that fixes give to lines: the first line's, LF for a CR.
  Ending target() const noexcept {
    return first_ending_ == Ending::CRLF ? Ending::CRLF : Ending::LF;
  }
  struct EndingsRun {
    size_t size;    // bytes
    size_t blocks;  // as scanned
  };

  size_t check_endings(std::string_view bytes, size_t from, EndingSet& candidates);
  static EndingsRun endings_run(std::string_view rest, BlockEnd end, bool at_eof) noexcept;
  void add_candidate(size_t at, Ending ending);
  size_t write_endings_first(std::string_view bytes, size_t first_change, bool file_start, EndingSet& candidates,
                             ScanResult& result, ByteBuffer& output);
  static void write_fixed(BlockReport& report, std::string_view bytes, size_t offset, ScanResult& result,
                          ByteBuffer& output);
  static void count_fixes(BlockReport& report, ScanResult& result);
  void keep_findings(LineCounter& counter, ScanResult& result, bool all);
  void number_lines(LineCounter& counter, bool all);

  LintOptions options_;
  std::optional<Ending> first_ending_;
  BlockReport report_;
  BlockReport inner_;     // of the blocks of a block whose line endings are fixed first
  ByteBuffer scratch_;    // the bytes of such a block that its fixes rewrite
  std::vector<SeenName> names_;
  std::vector<size_t> order_;
  std::vector<std::pair<size_t, size_t>> positions_;  // (offset, slot) to number
};

}  // namespace molbrook::lint
