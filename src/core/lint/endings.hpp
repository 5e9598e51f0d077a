// Line endings as the linter sees them: LF, CRLF, and a lone CR, which
// ends a line for text-mode readers although molbrook's byte view reads
// it as an ordinary byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/text/search.hpp"
#include "core/text/simd.hpp"

namespace molbrook::lint {

enum class Ending : uint8_t { LF, CRLF, CR };

using EndingSet = unsigned;

constexpr EndingSet ending_bit(Ending ending) noexcept { return 1u << static_cast<unsigned>(ending); }

inline constexpr EndingSet kAllEndings = 7;

// The text a line ending of this kind is made of; a lone CR is never the
// target of a fix, so it stands for LF there.
constexpr std::string_view ending_text(Ending ending) noexcept { return ending == Ending::CRLF ? "\r\n" : "\n"; }

// The ending of the first line of `text`, if any line of it ends.
std::optional<Ending> first_ending(std::string_view text) noexcept;

// Appends `text` to `out` with every line ending (LF, CRLF, lone CR) from
// `from` on made `target` (LF or CRLF), the bytes before `from` as they
// are, calling changed(offset, ending) for each ending it changes, at its
// offset in `text`. As for visit_endings, `from` is no LF of a CRLF, and
// the text does not end with the CR of one.
template <class Changed>
void append_with_ending(std::string_view text, size_t from, Ending target, ByteBuffer& out, Changed&& changed);

// Calls visit(offset, ending) for every line ending of `text` from `from`
// on whose kind is in `kinds`, in order, at its offset in `text`; `kinds`
// may lose bits on the way, as the visitor drops kinds it no longer
// wants, and the walk stops when it is empty. A CRLF is reported at its
// CR. `from` must not be the LF of a CRLF, nor may the text end with the
// CR of one (a block never does).
template <class Visit>
void visit_endings(std::string_view text, size_t from, EndingSet& kinds, Visit&& visit) noexcept;

// Implementation -----------------------------------------------------------

template <class Visit>
void visit_endings(std::string_view text, size_t from, EndingSet& kinds, Visit&& visit) noexcept {
  using Kernel = simd::Native;
  const char* data = text.data();
  const size_t size = text.size();
  size_t at = from;
  uint64_t cr = 0;
  uint64_t carry_cr = 0;  // the byte before the window is a CR
  for (; at < size && kinds != 0; at += 64) {
    if (cr == 0 && !(kinds & ending_bit(Ending::LF))) {
      // Only CRs matter: after a window without one, memchr finds the
      // next, so an LF file with a CRLF line costs a search, not a walk.
      at = find_byte(text, '\r', at);
      if (at == npos) return;
    }
    const uint64_t lf = simd::eq_mask_upto<Kernel>(data + at, size - at, '\n');
    cr = simd::eq_mask_upto<Kernel>(data + at, size - at, '\r');
    const uint64_t next_lf = at + 64 < size && data[at + 64] == '\n' ? uint64_t{1} << 63 : 0;
    const uint64_t crlf = cr & ((lf >> 1) | next_lf);
    const uint64_t lone_cr = cr & ~crlf;
    const uint64_t bare_lf = lf & ~((cr << 1) | carry_cr);
    carry_cr = cr >> 63;
    for (uint64_t all = bare_lf | crlf | lone_cr; all != 0 && kinds != 0; all &= all - 1) {
      const uint64_t bit = all & (0 - all);
      const Ending ending = (bare_lf & bit) ? Ending::LF : (crlf & bit) ? Ending::CRLF : Ending::CR;
      if (kinds & ending_bit(ending)) visit(at + static_cast<size_t>(std::countr_zero(bit)), ending);
    }
  }
}

template <class Changed>
void append_with_ending(std::string_view text, size_t from, Ending target, ByteBuffer& out, Changed&& changed) {
  out.reserve_extra(text.size());
  EndingSet others = kAllEndings & ~ending_bit(target);
  size_t copied = 0;
  visit_endings(text, from, others, [&](size_t at, Ending ending) {
    changed(at, ending);
    out.append(text.substr(copied, at - copied));
    out.append(ending_text(target));
    copied = at + (ending == Ending::CRLF ? 2 : 1);
  });
  out.append(text.substr(copied));
}

}  // namespace molbrook::lint
