#include "core/lint/line_counter.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "core/base/inline.hpp"
#include "core/text/search.hpp"
#include "core/text/simd.hpp"

namespace molbrook::lint {
namespace {

// Bits set in a word, without the POPCNT instruction that baseline x86-64
// lacks (std::popcount would call a library function there).
constexpr size_t bits_set(uint64_t word) noexcept {
  word -= (word >> 1) & 0x5555555555555555ull;
  word = (word & 0x3333333333333333ull) + ((word >> 2) & 0x3333333333333333ull);
  word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<size_t>((word * 0x0101010101010101ull) >> 56);
}

// The mask of `byte` in text[at, at + 64), or in what is left of it.
MOLBROOK_ALWAYS_INLINE uint64_t byte_mask(std::string_view text, size_t at, char byte) noexcept {
  return simd::eq_mask_upto<simd::Native>(text.data() + at, text.size() - at, byte);
}

MOLBROOK_ALWAYS_INLINE uint64_t lf_mask(std::string_view text, size_t at) noexcept {
  return byte_mask(text, at, '\n');
}

// The mask of `byte` in the `step` (1 to 64) bytes at `at`: from the whole
// window where the text holds one, without a copy, its bits past them
// cleared.
MOLBROOK_ALWAYS_INLINE uint64_t step_mask(std::string_view text, size_t at, size_t step, char byte) noexcept {
  const uint64_t kept = step == 64 ? ~uint64_t{0} : (uint64_t{1} << step) - 1;
  return byte_mask(text, at, byte) & kept;
}

// Windows without a CR in which no two in a row lack an LF, the last
// holding one: their LFs counted (the count, and how many windows up to
// the first that would break the rule). Lines there are under 192 bytes,
// so none is long, and nothing but the count is needed until the run
// ends. SSE2 adds the compares' bytes up and sums them once per 62
// windows (63 with a pair taken at the end; four compares a window keep
// each byte under 256).
struct LfRun {
  size_t lfs;
  size_t windows;
};

#if MOLBROOK_SIMD_SSE2
struct WindowLfs {
  __m128i sum;  // -(LFs) per byte lane
  bool any;
};

MOLBROOK_ALWAYS_INLINE WindowLfs window_lfs(const char* p) noexcept {
  const __m128i lf = _mm_set1_epi8('\n');
  const auto* window = reinterpret_cast<const __m128i*>(p);
  const __m128i c0 = _mm_cmpeq_epi8(_mm_loadu_si128(window), lf);
  const __m128i c1 = _mm_cmpeq_epi8(_mm_loadu_si128(window + 1), lf);
  const __m128i c2 = _mm_cmpeq_epi8(_mm_loadu_si128(window + 2), lf);
  const __m128i c3 = _mm_cmpeq_epi8(_mm_loadu_si128(window + 3), lf);
  const bool any = _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(c0, c1), _mm_or_si128(c2, c3))) != 0;
  return {_mm_add_epi8(_mm_add_epi8(c0, c1), _mm_add_epi8(c2, c3)), any};  // each compare is -1 where it matched
}

// The sum of the byte lanes of LF counts gathered by subtracting window sums.
MOLBROOK_ALWAYS_INLINE size_t lane_total(__m128i counts) noexcept {
  const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
  return static_cast<uint32_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
}

LfRun count_lf_run(const char* p, size_t windows) noexcept {
  LfRun run{0, 0};
  while (run.windows < windows) {
    const size_t batch = std::min<size_t>(windows - run.windows, 62);
    __m128i counts = _mm_setzero_si128();
    size_t i = 0;
    while (i < batch) {
      const size_t at = run.windows + i;
      WindowLfs window = window_lfs(p + 64 * at);
      if (!window.any) {
        if (at + 1 == windows) break;
        window = window_lfs(p + 64 * (at + 1));
        if (!window.any) break;
        ++i;
      }
      counts = _mm_sub_epi8(counts, window.sum);
      ++i;
    }
    run.lfs += lane_total(counts);
    run.windows += i;
    if (i < batch) break;
  }
  return run;
}
#else
LfRun count_lf_run(const char* p, size_t windows) noexcept {
  LfRun run{0, 0};
  while (run.windows < windows) {
    uint64_t mask = simd::Native::eq_mask(p + 64 * run.windows, '\n');
    size_t taken = 1;
    if (mask == 0) {
      if (run.windows + 1 == windows) break;
      mask = simd::Native::eq_mask(p + 64 * (run.windows + 1), '\n');
      if (mask == 0) break;
      taken = 2;
    }
    run.lfs += bits_set(mask);
    run.windows += taken;
  }
  return run;
}
#endif

}  // namespace

// 64 bytes a step: each window's LF mask gives the count by its population
// and the last line start by its highest bit. Runs between LFs inside a
// window are under 64 bytes, so only the line that reaches into a window
// from before it can be long. Lone CRs are looked for in windows that hold
// a CR, which a search of the bytes passed finds, and in each window after
// one that held a CR (in a CRLF file, most), without a search. Where no
// two windows in a row lack an LF and none holds a CR (most of an LF
// file), the LFs are only counted.
void LineCounter::advance(size_t offset) noexcept {
  while (position_ < offset) {
    if (lf_before_ && !cr_before_ && limit_ >= 192 && offset - position_ >= 128) {
      skip_lf_run(cr_free_until(offset));
      if (position_ == offset) return;
    }
    const size_t step = offset - position_ < 64 ? offset - position_ : 64;
    const uint64_t mask = step_mask(text_, position_, step, '\n');
    if (mask != 0) {
      const size_t first = position_ + static_cast<size_t>(std::countr_zero(mask));
      if (first - line_start_ > limit_) long_line_end_ = first;
      lf_line_ += bits_set(mask);
      line_start_ = position_ + 64 - static_cast<size_t>(std::countl_zero(mask));
    }
    lf_before_ = mask != 0;
    if (cr_before_ || may_hold_cr(position_ + step, offset)) count_lone_crs(step, mask);
    position_ += step;
  }
}

void LineCounter::pass_lines(size_t offset, size_t endings) noexcept {
  lf_line_ += endings;
  position_ = line_start_ = cr_line_start_ = next_cr_ = offset;
  lf_before_ = offset != 0;  // a line start: an LF just before it
  cr_before_ = false;
}

// Passes the whole windows before `end` of a run that count_lf_run takes
// (the LF before position_ is less than 64 bytes back).
void LineCounter::skip_lf_run(size_t end) noexcept {
  const LfRun run = count_lf_run(text_.data() + position_, (end - position_) / 64);
  if (run.windows == 0) return;
  position_ += 64 * run.windows;
  lf_line_ += run.lfs;
  const uint64_t last = simd::Native::eq_mask(text_.data() + position_ - 64, '\n');
  line_start_ = position_ - static_cast<size_t>(std::countl_zero(last));
}

// Where the first CR at or after position_ is, or `offset` when there is
// none before it, by the search that may_hold_cr keeps.
size_t LineCounter::cr_free_until(size_t offset) noexcept {
  if (next_cr_ < position_ || (next_cr_ < offset && text_[next_cr_] != '\r')) {
    const size_t found = find_byte(text_.substr(0, offset), '\r', std::max(position_, next_cr_));
    next_cr_ = found == npos ? offset : found;
  }
  return std::min(next_cr_, offset);
}

// Whether text[position_, end) may hold a CR, by a search up to `offset`
// (bytes the caller has just read, in cache) whose result is kept.
bool LineCounter::may_hold_cr(size_t end, size_t offset) noexcept {
  if (end <= next_cr_) return false;
  if (next_cr_ >= position_ && text_[next_cr_] == '\r') return true;
  const size_t found = find_byte(text_.substr(0, offset), '\r', std::max(position_, next_cr_));
  next_cr_ = found == npos ? offset : found;
  return end > next_cr_;
}

// The lone CRs of the window of `step` bytes at position_, whose LF mask
// is `lf`: CRs that no LF follows, in the window or just past it.
void LineCounter::count_lone_crs(size_t step, uint64_t lf) noexcept {
  const size_t end = position_ + step;
  const uint64_t cr = step_mask(text_, position_, step, '\r');
  const uint64_t lf_after = end < text_.size() && text_[end] == '\n' ? uint64_t{1} << (step - 1) : 0;
  const uint64_t lone = cr & ~((lf >> 1) | lf_after);
  cr_before_ = cr != 0;
  if (lone == 0) return;
  lone_crs_ += bits_set(lone);
  cr_line_start_ = position_ + 64 - static_cast<size_t>(std::countl_zero(lone));
}

size_t skip_lines(std::string_view text, size_t from, size_t count) noexcept {
  if (count == 0) return from;
  for (size_t at = from; at < text.size(); at += 64) {
    uint64_t mask = lf_mask(text, at);
    const size_t found = bits_set(mask);
    if (found < count) {
      count -= found;
      continue;
    }
    while (--count != 0) mask &= mask - 1;
    return at + static_cast<size_t>(std::countr_zero(mask)) + 1;
  }
  return text.size();
}

size_t count_lines(std::string_view text) noexcept {
  size_t lines = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    lines += text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
  }
  return lines + !(text.empty() || text.ends_with('\n') || text.ends_with('\r'));
}

}  // namespace molbrook::lint
