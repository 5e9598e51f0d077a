// Fuzz target: the linter's scan.
//
// Invariants: every finding lies in the input, its line and column those
// of its offset counted by a byte loop (LF, CRLF and a lone CR end a
// line), in offset order; a scan that fixes
// nothing writes the input back byte for byte; a scan with every fix
// applied writes an output that a second scan of the whole input also
// writes when split at any block boundary (the scan of a range and of the
// rest, as threads and streams split a file); and the findings of the two
// halves, moved by the first half's bytes, lines and blocks, are those of
// the whole (F003 aside: its candidates are per scan). A second scan of the
// fixed output finds no more findings of a code counted fixed than were
// counted left, and with F003's fix, no line ending that differs.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/lint/scanner.hpp"

namespace molbrook::fuzz {
namespace {

using lint::Code;
using lint::Finding;
using lint::LintOptions;
using lint::ScanResult;
using lint::Scanner;

void check_positions(std::string_view text, const ScanResult& result) {
  size_t previous = 0;
  for (const Finding& finding : result.findings) {
    FUZZ_CHECK(finding.offset + finding.length <= text.size());
    FUZZ_CHECK(finding.offset >= previous);
    previous = finding.offset;
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < finding.offset; ++i) {
      if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) {
        ++line;
        line_start = i + 1;
      }
    }
    FUZZ_CHECK(finding.line == line);
    FUZZ_CHECK(finding.column == finding.offset - line_start + 1);
  }
}

// What a second scan of `fixed` finds against what fixing counted.
void check_fixes_hold(std::string_view fixed, const ScanResult& fixing, lint::CodeSet select) {
  const LintOptions looking{select, lint::CodeSet(0), false, false};
  ScanResult again = Scanner(looking, std::nullopt).scan(fixed, fixed.size(), true, true, nullptr);
  std::array<uint64_t, lint::kCodeCount> found{};
  const lint::Ending target = again.first_ending == lint::Ending::CRLF ? lint::Ending::CRLF : lint::Ending::LF;
  for (const Finding& finding : again.findings) {
    if (finding.code == Code::F003) {
      FUZZ_CHECK(finding.detail == static_cast<uint8_t>(target));
      continue;
    }
    ++found[static_cast<size_t>(finding.code)];
  }
  for (size_t code = 0; code < lint::kCodeCount; ++code) {
    FUZZ_CHECK(fixing.fixed[code] == 0 || found[code] <= fixing.unfixed[code]);
  }
}

std::vector<std::string> described(const ScanResult& result, size_t offset, size_t lines, size_t blocks) {
  std::vector<std::string> found;
  for (const Finding& finding : result.findings) {
    if (finding.code == Code::F003) continue;
    found.push_back(std::to_string(static_cast<int>(finding.code)) + "@" + std::to_string(finding.offset + offset) +
                    ":" + std::to_string(finding.line + lines) + ":" + std::to_string(finding.block + blocks));
  }
  return found;
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace molbrook;
  using namespace molbrook::fuzz;
  FuzzedDataProvider provider(data, size);
  const uint32_t select = provider.ConsumeIntegral<uint32_t>();
  const size_t cut = provider.ConsumeIntegral<uint16_t>();
  const bool unsafe = provider.ConsumeBool();
  ExactBytes input(provider.ConsumeRemainingBytesAsString());
  std::string_view text = input.view();

  const LintOptions looking{lint::CodeSet(select), lint::CodeSet(0), false, true};
  ScanResult whole = Scanner(looking, std::nullopt).scan(text, text.size(), true, true, nullptr);
  FUZZ_CHECK(whole.consumed == text.size());
  check_positions(text, whole);

  ByteBuffer unchanged;
  Scanner(LintOptions{lint::CodeSet(select), lint::CodeSet(0), unsafe, false}, std::nullopt)
      .scan(text, text.size(), true, true, &unchanged);
  FUZZ_CHECK(unchanged.view() == text);

  const LintOptions fixing{lint::CodeSet(select), lint::CodeSet(~0u), unsafe, false};
  ByteBuffer fixed;
  ScanResult fixed_whole = Scanner(fixing, std::nullopt).scan(text, text.size(), true, true, &fixed);
  check_fixes_hold(fixed.view(), fixed_whole, lint::CodeSet(select));

  Scanner first_scanner(looking, std::nullopt);
  ScanResult first = first_scanner.scan(text, cut, true, true, nullptr);
  ScanResult rest = Scanner(looking, first.first_ending)
                        .scan(text.substr(first.consumed), text.size(), first.consumed == 0, true, nullptr);
  std::vector<std::string> halves = described(first, 0, 0, 0);
  std::vector<std::string> second = described(rest, first.consumed, first.lines, first.blocks);
  halves.insert(halves.end(), second.begin(), second.end());
  FUZZ_CHECK(halves == described(whole, 0, 0, 0));

  ByteBuffer in_halves;
  ScanResult fixed_first = Scanner(fixing, std::nullopt).scan(text, cut, true, true, &in_halves);
  Scanner(fixing, fixed_first.first_ending)
      .scan(text.substr(fixed_first.consumed), text.size(), fixed_first.consumed == 0, true, &in_halves);
  FUZZ_CHECK(in_halves.view() == fixed.view());
  return 0;
}
