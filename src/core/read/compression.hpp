// Telling compressed files by their first bytes, whatever they are named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace molbrook {

enum class Compression : uint8_t { None, Gzip, Bzip2, Xz, Zstd };

// Enough leading bytes to tell every format apart. bzip2's four-byte
// magic ("BZh" and a digit) could start an SD title line, so its block
// magic after it is checked too.
inline constexpr size_t kMagicLength = 10;

// The format whose magic bytes start `head` (the first kMagicLength bytes
// of a file, or all of a shorter one).
Compression compression_of(std::string_view head) noexcept;

// The format's name as molbrook._compression knows it; null for None.
const char* compression_name(Compression format) noexcept;

}  // namespace molbrook
