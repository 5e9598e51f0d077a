#include "core/lint/endings.hpp"

namespace molbrook::lint {

std::optional<Ending> first_ending(std::string_view text) noexcept {
  const size_t lf = find_byte(text, '\n');
  const size_t cr = find_byte(text.substr(0, lf == npos ? text.size() : lf), '\r');
  if (cr != npos) return cr + 1 == lf ? Ending::CRLF : Ending::CR;
  if (lf != npos) return Ending::LF;
  return std::nullopt;
}

}  // namespace molbrook::lint
