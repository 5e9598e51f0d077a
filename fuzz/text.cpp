// Fuzz target: the text primitives every other part scans with.
//
// Invariant: for any bytes, any starting offset and every scanning kernel
// (the portable one and this machine's vector one), the line scanner
// yields exactly the lines a byte-by-byte scan finds, the substring finder
// gives std::string_view::find's answer for each of the library's needles,
// the line-break search find_first_of's, the 64-byte masks and the
// high-byte test agree with a byte loop, first_line_ending follows its
// rule, and nothing reads a byte outside the input (AddressSanitizer).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/text/lines.hpp"
#include "core/text/search.hpp"
#include "core/text/simd.hpp"

namespace molbrook::fuzz {
namespace {

constexpr std::string_view kNeedles[] = {"\n$$$$", "$$$$", "\nM  END", "\r\n", "$", "> <"};

std::vector<Line> reference_lines(std::string_view text, size_t from) {
  std::vector<Line> lines;
  size_t start = from;
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] == '\n') {
      lines.push_back({start, i + 1});
      start = i + 1;
    }
  }
  if (start < text.size()) lines.push_back({start, text.size()});
  return lines;
}

std::string_view reference_first_line_ending(std::string_view text) {
  size_t lf = text.find('\n');
  if (lf == std::string_view::npos) return !text.empty() && text.back() == '\r' ? kCRLF : kLF;
  return lf > 0 && text[lf - 1] == '\r' ? kCRLF : kLF;
}

template <class Kernel>
void check_kernel(std::string_view text, size_t from, char byte) {
  std::vector<Line> expected = reference_lines(text, from);
  BasicLineScanner<Kernel> scanner(text, from);
  size_t count = 0;
  for (Line line; scanner.next(line); ++count) {
    FUZZ_CHECK(count < expected.size());
    FUZZ_CHECK(line.start == expected[count].start && line.end == expected[count].end);
    FUZZ_CHECK(scanner.position() == line.end);
  }
  FUZZ_CHECK(count == expected.size());

  for (std::string_view needle : kNeedles) {
    size_t expected_at = from <= text.size() ? text.find(needle, from) : npos;
    for (size_t lead = 0; lead < needle.size(); ++lead) {
      FUZZ_CHECK(find_with<Kernel>(text, Needle{needle, lead}, from) == expected_at);
    }
  }
  const size_t line_break = from <= text.size() ? text.find_first_of("\r\n", from) : npos;
  FUZZ_CHECK(find_line_break_with<Kernel>(text, from) == line_break);

  for (size_t at = 0; at < text.size(); at += 64) {
    size_t size = std::min<size_t>(64, text.size() - at);
    uint64_t mask = simd::eq_mask_upto<Kernel>(text.data() + at, size, byte);
    for (size_t i = 0; i < 64; ++i) {
      bool set = (mask >> i) & 1;
      FUZZ_CHECK(set == (i < size && text[at + i] == byte));
    }
    if (size == 64) {
      const bool high = std::any_of(text.begin() + at, text.begin() + at + 64,
                                    [](char c) { return static_cast<uint8_t>(c) >= 0x80; });
      FUZZ_CHECK(Kernel::any_high(text.data() + at) == high);
    }
  }
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace molbrook;
  using namespace molbrook::fuzz;
  FuzzedDataProvider input(data, size);
  const size_t from = input.ConsumeIntegralInRange<size_t>(0, 80);
  const char byte = input.PickValueInArray({'\n', '\r', '$', '>', '\0', '\xff'});
  ExactBytes text(input.ConsumeRemainingBytesAsString());

  check_kernel<simd::Portable>(text.view(), from, byte);
  check_kernel<simd::Native>(text.view(), from, byte);
  FUZZ_CHECK(first_line_ending(text.view()) == reference_first_line_ending(text.view()));
  size_t lf = text.view().find('\n', from);
  FUZZ_CHECK(next_line_end(text.view(), from) == (lf == npos ? text.view().size() : lf + 1));
  return 0;
}
