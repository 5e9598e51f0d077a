// UTF-8 validation, shared by the connection tables and the writers.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace molbrook {

// The first ill-formed sequence of a text: [start, end) is the maximal
// subpart the Unicode standard replaces by one U+FFFD, which runs to the
// end of the text for a sequence cut short.
struct Utf8Error {
  size_t start;
  size_t end;
};

std::optional<Utf8Error> find_invalid_utf8(std::string_view text) noexcept;

// True when no byte is 128 or more.
bool is_ascii(std::string_view text) noexcept;

}  // namespace molbrook
