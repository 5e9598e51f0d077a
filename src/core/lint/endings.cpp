#include "core/lint/endings.hpp"

namespace molbrook::lint {

std::optional<Ending> first_ending(std::string_view text) noexcept {
  const size_t lf = find_byte(text, '\n');
  const size_t cr = find_byte(text.substr(0, lf == npos ? text.size() : lf), '\r');
  if (cr != npos) return cr + 1 == lf ? Ending::CRLF : Ending::CR;
  if (lf != npos) return Ending::LF;
  return std::nullopt;
}

void append_with_ending(std::string_view text, Ending target, ByteBuffer& out) {
  out.reserve_extra(text.size());
  EndingSet others = kAllEndings & ~ending_bit(target);
  size_t copied = 0;
  visit_endings(text, others, [&](size_t at, Ending ending) {
    out.append(text.substr(copied, at - copied));
    out.append(ending_text(target));
    copied = at + (ending == Ending::CRLF ? 2 : 1);
  });
  out.append(text.substr(copied));
}

}  // namespace molbrook::lint
