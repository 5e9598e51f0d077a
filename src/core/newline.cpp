#include "newline.hpp"

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <utility>

#include "search.hpp"

namespace molbrook {
namespace {

// Moves the run buffer[from, from + n) down to `to` (to <= from). With a
// gap of at least 16 bytes it moves whole 16-byte blocks: the last block
// may write up to 15 bytes past the run, which stays below from + n, the
// next byte still to be read, and may read up to 15 bytes past it, which
// the spare capacity covers. A smaller gap moves the run exactly.
inline void move_run_down(char* buffer, size_t to, size_t from, size_t n) noexcept {
  if (to == from || n == 0) return;
  if (from - to >= 16) {
    for (size_t k = 0; k < n; k += 16) std::memcpy(buffer + to + k, buffer + from + k, 16);
  } else {
    std::memmove(buffer + to, buffer + from, n);
  }
}

}  // namespace

template <class Kernel>
size_t translate_chunk_with(char* buffer, size_t capacity, size_t length, bool& pending_cr) noexcept {
  assert(capacity >= length + kTranslateSpare);
  (void)capacity;
  if (length == 0) return 0;

  // An LF completing the previous chunk's final CR was already written.
  size_t read = std::exchange(pending_cr, false) && buffer[0] == '\n' ? 1 : 0;
  size_t first_cr = find_byte({buffer, length}, '\r', read);
  if (first_cr == npos) {
    if (read != 0) std::memmove(buffer, buffer + read, length - read);
    return length - read;
  }

  // Every write lands at or below the CR being handled, so the masks of
  // the windows still ahead describe unchanged bytes.
  size_t write = 0;
  for (size_t window = first_cr; window < length; window += 64) {
    uint64_t crs = length - window >= 64
                       ? Kernel::eq_mask(buffer + window, '\r')
                       : simd::eq_mask_partial<Kernel>(buffer + window, length - window, '\r');
    for (; crs != 0; crs &= crs - 1) {
      size_t cr = window + static_cast<size_t>(std::countr_zero(crs));
      move_run_down(buffer, write, read, cr - read);
      write += cr - read;
      buffer[write++] = '\n';
      if (cr + 1 == length) {
        pending_cr = true;
        read = length;
      } else {
        read = buffer[cr + 1] == '\n' ? cr + 2 : cr + 1;
      }
    }
  }
  move_run_down(buffer, write, read, length - read);
  return write + (length - read);
}

template size_t translate_chunk_with<simd::Portable>(char*, size_t, size_t, bool&) noexcept;
#if MOLBROOK_SIMD_SSE2 || MOLBROOK_SIMD_NEON
template size_t translate_chunk_with<simd::Native>(char*, size_t, size_t, bool&) noexcept;
#endif

ByteBuffer translate_copy(std::string_view bytes, size_t first_cr) {
  if (first_cr >= bytes.size()) return ByteBuffer(bytes);
  ByteBuffer copy(bytes, kTranslateSpare);
  bool pending_cr = false;
  size_t tail = translate_chunk(copy.data() + first_cr, copy.capacity() - first_cr,
                                bytes.size() - first_cr, pending_cr);
  copy.set_size(first_cr + tail);
  return copy;
}

std::string_view translate_if_needed(std::string_view bytes, ByteBuffer& storage) {
  size_t first_cr = find_byte(bytes, '\r');
  if (first_cr == npos) return bytes;
  storage = translate_copy(bytes, first_cr);
  return storage.view();
}

}  // namespace molbrook
