// Fuzz target: universal-newline translation.
//
// Invariant: a text cut into chunks at any points (empty ones included)
// and translated chunk by chunk in place, with the pending CR carried
// across, gives Python's universal-newline reading of the whole text
// (CRLF and lone CR become LF, no other byte changes) for every kernel;
// the pending CR is left set exactly when the text ends with CR; each
// chunk's translation writes nothing past the chunk and reads nothing
// past its 16 spare bytes (AddressSanitizer); translate_copy and
// translate_if_needed give the same text, the latter without a copy when
// there is no CR.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/text/newline.hpp"
#include "core/text/search.hpp"

namespace molbrook::fuzz {
namespace {

constexpr char kCanary = '\x5a';

std::string reference_translation(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      out.push_back(text[i]);
      continue;
    }
    out.push_back('\n');
    if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  return out;
}

template <class Kernel>
void check_chunks(std::string_view text, const std::vector<size_t>& cuts, const std::string& expected) {
  std::string out;
  bool pending_cr = false;
  size_t start = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    size_t end = i < cuts.size() ? cuts[i] : text.size();
    std::string_view chunk = text.substr(start, end - start);
    ExactBytes buffer(chunk, kTranslateSpare);
    std::memset(buffer.data() + chunk.size(), kCanary, kTranslateSpare);
    size_t kept = translate_chunk_with<Kernel>(buffer.data(), chunk.size() + kTranslateSpare, chunk.size(),
                                               pending_cr);
    FUZZ_CHECK(kept <= chunk.size());
    for (size_t k = 0; k < kTranslateSpare; ++k) FUZZ_CHECK(buffer.data()[chunk.size() + k] == kCanary);
    out.append(buffer.data(), kept);
    start = end;
  }
  FUZZ_CHECK(out == expected);
  FUZZ_CHECK(pending_cr == (!text.empty() && text.back() == '\r'));
}

}  // namespace
}  // namespace molbrook::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace molbrook;
  using namespace molbrook::fuzz;
  FuzzedDataProvider input(data, size);
  std::vector<size_t> cuts(input.ConsumeIntegralInRange<size_t>(0, 6));
  for (size_t& cut : cuts) cut = input.ConsumeIntegral<uint16_t>();
  ExactBytes text(input.ConsumeRemainingBytesAsString());
  for (size_t& cut : cuts) cut = text.view().empty() ? 0 : cut % (text.view().size() + 1);
  std::sort(cuts.begin(), cuts.end());

  const std::string expected = reference_translation(text.view());
  check_chunks<simd::Portable>(text.view(), cuts, expected);
  check_chunks<simd::Native>(text.view(), cuts, expected);

  size_t first_cr = find_byte(text.view(), '\r');
  ByteBuffer copy = translate_copy(text.view(), first_cr == npos ? text.view().size() : first_cr);
  FUZZ_CHECK(copy.view() == expected);
  ByteBuffer storage;
  std::string_view translated = translate_if_needed(text.view(), storage);
  FUZZ_CHECK(translated == expected);
  FUZZ_CHECK((first_cr == npos) == (translated.data() == text.view().data()));
  return 0;
}
