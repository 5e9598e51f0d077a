#include "core/text/newline.hpp"

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/text/search.hpp"

namespace molbrook {
namespace {

// Moves the run src[from, from + n) to dst + to, where dst is src (in
// place, to <= from) or a separate buffer with kTranslateSpare bytes of
// capacity past the output. Whole 16-byte blocks are moved when the last
// one may read up to 15 bytes past the run (src has `readable` bytes) and
// may write up to 15 bytes past its destination: in place that must stay
// below from + n, the next byte still to be read, which takes a gap of at
// least 16 bytes. Otherwise the run is moved exactly.
inline void move_run(char* dst, size_t to, const char* src, size_t from, size_t n, size_t readable) noexcept {
  if (n == 0 || (dst == src && to == from)) return;
  const size_t blocks = (n + 15) / 16 * 16;
  if (from + blocks <= readable && (dst != src || from - to >= 16)) {
    for (size_t k = 0; k < blocks; k += 16) std::memcpy(dst + to + k, src + from + k, 16);
  } else {
    std::memmove(dst + to, src + from, n);
  }
}

// Writes the translation of src[0, length) to dst, which is src itself or
// a separate buffer, and returns its length. Every write lands at or below
// the CR being handled, so in place the masks of the windows still ahead
// describe unchanged bytes.
template <class Kernel>
size_t translate(const char* src, size_t length, size_t readable, char* dst, bool& pending_cr) noexcept {
  if (length == 0) return 0;
  // An LF completing the previous chunk's final CR was already written.
  size_t read = std::exchange(pending_cr, false) && src[0] == '\n' ? 1 : 0;
  size_t write = 0;
  const size_t first_cr = find_byte({src, length}, '\r', read);
  for (size_t window = first_cr; window < length; window += 64) {
    uint64_t crs = simd::eq_mask_upto<Kernel>(src + window, length - window, '\r');
    for (; crs != 0; crs &= crs - 1) {
      size_t cr = window + static_cast<size_t>(std::countr_zero(crs));
      move_run(dst, write, src, read, cr - read, readable);
      write += cr - read;
      dst[write++] = '\n';
      if (cr + 1 == length) {
        pending_cr = true;
        read = length;
      } else {
        read = src[cr + 1] == '\n' ? cr + 2 : cr + 1;
      }
    }
  }
  move_run(dst, write, src, read, length - read, readable);
  return write + (length - read);
}

}  // namespace

template <class Kernel>
size_t translate_chunk_with(char* buffer, size_t capacity, size_t length, bool& pending_cr) noexcept {
  assert(capacity >= length + kTranslateSpare);
  return translate<Kernel>(buffer, length, capacity, buffer, pending_cr);
}

template size_t translate_chunk_with<simd::Portable>(char*, size_t, size_t, bool&) noexcept;
#if MOLBROOK_SIMD_SSE2 || MOLBROOK_SIMD_NEON
template size_t translate_chunk_with<simd::Native>(char*, size_t, size_t, bool&) noexcept;
#endif

// Translated straight from `bytes` into the copy: each byte is copied once.
ByteBuffer translate_copy(std::string_view bytes, size_t first_cr) {
  if (first_cr >= bytes.size()) return ByteBuffer(bytes);
  ByteBuffer copy(bytes.substr(0, first_cr), bytes.size() - first_cr + kTranslateSpare);
  const size_t rest = bytes.size() - first_cr;
  bool pending_cr = false;
  copy.set_size(first_cr + translate<simd::Native>(bytes.data() + first_cr, rest, rest, copy.data() + first_cr,
                                                   pending_cr));
  return copy;
}

// From the first CR on, 64 bytes a step: a CR is lone where the byte
// after it (the mask of LFs one byte on) is no LF.
template <class Kernel>
bool has_lone_cr_with(std::string_view bytes, bool& pending_cr) noexcept {
  if (bytes.empty()) return false;
  if (std::exchange(pending_cr, false) && bytes[0] != '\n') return true;
  size_t at = find_byte(bytes, '\r');
  if (at == npos) return false;
  const char* p = bytes.data();
  for (; at + 65 <= bytes.size(); at += 64) {
    if (Kernel::eq_mask(p + at, '\r') & ~Kernel::eq_mask(p + at + 1, '\n')) return true;
  }
  for (; at < bytes.size(); ++at) {
    if (p[at] != '\r') continue;
    if (at + 1 == bytes.size()) {
      pending_cr = true;
    } else if (p[at + 1] != '\n') {
      return true;
    }
  }
  return false;
}

template bool has_lone_cr_with<simd::Portable>(std::string_view, bool&) noexcept;
#if MOLBROOK_SIMD_SSE2 || MOLBROOK_SIMD_NEON
template bool has_lone_cr_with<simd::Native>(std::string_view, bool&) noexcept;
#endif

std::string_view translate_if_needed(std::string_view bytes, ByteBuffer& storage) {
  size_t first_cr = find_byte(bytes, '\r');
  if (first_cr == npos) return bytes;
  storage = translate_copy(bytes, first_cr);
  return storage.view();
}

}  // namespace molbrook
