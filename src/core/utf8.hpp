// UTF-8 validation of a block's bytes, for writers that must not emit
// invalid text.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace molbrook {

// The first invalid sequence of a text: [start, end) covers the bytes a
// strict decoder rejects together (the longest prefix of a valid sequence,
// at least one byte), and runs to the end of the text for a sequence cut
// short by it. Positions match those of Python's UnicodeDecodeError.
struct Utf8Error {
  size_t start;
  size_t end;
};

// nullopt when the bytes are valid UTF-8.
std::optional<Utf8Error> find_invalid_utf8(std::string_view bytes) noexcept;

// True when no byte is 128 or more.
bool is_ascii(std::string_view bytes) noexcept;

}  // namespace molbrook
