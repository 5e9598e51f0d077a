// Compressed input told by its content, whatever it is named: which format
// a stream starts with, and what the format allows between and after the
// members it holds (gzip members, bzip2 and xz streams, zstd frames).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace molbrook {

enum class Compression : uint8_t { None, Gzip, Bzip2, Xz, Zstd };

// Enough leading bytes to tell every format apart. bzip2's four-byte
// magic ("BZh" and a digit) could start an SD title line, so its block
// magic after it is checked too.
inline constexpr size_t kMagicLength = 10;

// The format whose magic bytes start `head`, None when no format's can;
// nullopt while `head` is too short to tell, being a proper prefix of some
// format's magic. A single byte that starts no magic decides.
std::optional<Compression> compression_of_start(std::string_view head) noexcept;

// The format of a whole input that starts with `head` (its first
// kMagicLength bytes, or all of a shorter input).
Compression compression_of(std::string_view head) noexcept;

// The format's name as Python callers know it; null for None.
const char* compression_name(Compression format) noexcept;

// Walks what lies before, between and after the members of a compressed
// stream: zstd's skippable frames; zero padding after gzip data, which the
// reference gzip accepts at the very end; xz stream padding, zero bytes in
// multiples of four, after any stream. Anything else must start a member.
class MemberGaps {
 public:
  explicit MemberGaps(Compression format) noexcept : format_(format) {}

  enum class Next : uint8_t {
    Member,    // a member starts at `skipped`
    More,      // the rest (from `skipped`) is too short to tell: hold it
    Invalid,   // the bytes at `skipped` are no member, nor allowed there
  };
  struct Step {
    Next next;
    size_t skipped;  // bytes of padding and skippable frames passed over
  };

  // Passes over what the format allows at the start of `bytes`, the input
  // that follows the last member (or the stream's start), and tells what
  // comes next. Padding and skippable frames may span calls.
  Step scan(std::string_view bytes) noexcept;

  enum class End : uint8_t { Complete, Truncated, Invalid };
  // Whether the input may end here, `held` being what the last scan left
  // as too short to tell.
  End end(std::string_view held) const noexcept;

 private:
  Compression format_;
  uint64_t skipping_ = 0;  // bytes of a skippable frame still to pass over
  uint64_t zeros_ = 0;     // zero bytes of the current run of padding
};

}  // namespace molbrook
