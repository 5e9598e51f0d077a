#include "core/records/readable.hpp"

#include "core/text/lines.hpp"
#include "core/text/strip.hpp"

namespace molbrook {

std::optional<Unreadable> unreadable_name(std::string_view name) noexcept {
  if (name.empty()) return Unreadable::EmptyName;
  if (name.find_first_of("<>") != std::string_view::npos) return Unreadable::AngleBracket;
  if (name.find_first_of("\r\n") != std::string_view::npos) return Unreadable::NameLineBreak;
  return std::nullopt;
}

// An empty value is one empty line, which the record's closing blank line
// follows; every other value is lines of its own.
std::optional<Unreadable> unreadable_value(std::string_view value) noexcept {
  if (value.find('\r') != std::string_view::npos) return Unreadable::CarriageReturn;
  if (value.empty()) return std::nullopt;
  for (size_t start = 0;;) {
    const size_t end = value.find('\n', start);
    const std::string_view line = value.substr(start, end == std::string_view::npos ? end : end - start);
    if (is_blank(line)) return Unreadable::BlankLine;
    if (line.starts_with(kDollars)) return Unreadable::TerminatorLine;
    if (end == std::string_view::npos) return std::nullopt;
    start = end + 1;
  }
}

const char* describe(Unreadable problem) noexcept {
  switch (problem) {
    case Unreadable::EmptyName:
      return "is empty";
    case Unreadable::AngleBracket:
      return "holds '<' or '>'";
    case Unreadable::NameLineBreak:
      return "holds a line break";
    case Unreadable::BlankLine:
      return "holds a blank line, which would end its record";
    case Unreadable::TerminatorLine:
      return "holds a line starting with $$$$, which would end its block";
    case Unreadable::CarriageReturn:
      return "holds a carriage return, which text reading takes for a line break";
  }
  return "";
}

}  // namespace molbrook
