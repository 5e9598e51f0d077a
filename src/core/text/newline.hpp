// Universal-newline translation: CRLF and lone CR become LF, as Python's
// text mode reads them. Works in place on UTF-8 (or any ASCII-compatible)
// bytes; the output is never longer than the input.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/text/simd.hpp"

namespace molbrook {

// Capacity that translate_chunk needs past the data it translates: runs
// between CRs move in 16-byte blocks that may read past the data.
inline constexpr size_t kTranslateSpare = 16;

// Translates buffer[0, length) in place and returns the new length.
// `pending_cr` carries a stream's state from chunk to chunk: it is set when
// a chunk ends with a CR (already written as LF), so that an LF starting
// the next non-empty chunk is dropped. `capacity` must be at least
// length + kTranslateSpare.
template <class Kernel>
size_t translate_chunk_with(char* buffer, size_t capacity, size_t length, bool& pending_cr) noexcept;

inline size_t translate_chunk(char* buffer, size_t capacity, size_t length, bool& pending_cr) noexcept {
  return translate_chunk_with<simd::Native>(buffer, capacity, length, pending_cr);
}

// The translation of a whole text whose first CR is at `first_cr`
// (bytes.size() when it has none), as a new buffer.
ByteBuffer translate_copy(std::string_view bytes, size_t first_cr);

// Whether the bytes hold a lone CR (one that no LF follows), which reads
// as a line ending in text mode only: without one, text and binary reading
// find the same lines. `pending_cr` carries a stream's state from chunk
// to chunk: set when a chunk ends with a CR, whose fate the next chunk
// tells; one still pending at the end of the stream counts as lone.
template <class Kernel>
bool has_lone_cr_with(std::string_view bytes, bool& pending_cr) noexcept;

inline bool has_lone_cr(std::string_view bytes, bool& pending_cr) noexcept {
  return has_lone_cr_with<simd::Native>(bytes, pending_cr);
}

// `bytes` itself when it holds no CR (nothing is copied); otherwise its
// translation, which `storage` keeps alive.
std::string_view translate_if_needed(std::string_view bytes, ByteBuffer& storage);

}  // namespace molbrook
