#include "core/read/compression.hpp"

#include <algorithm>

namespace molbrook {
namespace {

using namespace std::string_view_literals;

// What the bytes a magic number starts are.
enum class Role : uint8_t { Member, Skippable };

// A magic number whose byte i lies in [low[i], high[i]].
struct Magic {
  Compression format;
  Role role;
  std::string_view low;
  std::string_view high;
};

constexpr Magic kMagics[] = {
    {Compression::Gzip, Role::Member, "\x1f\x8b"sv, "\x1f\x8b"sv},
    {Compression::Xz, Role::Member, "\xfd" "7zXZ\x00"sv, "\xfd" "7zXZ\x00"sv},
    {Compression::Zstd, Role::Member, "\x28\xb5\x2f\xfd"sv, "\x28\xb5\x2f\xfd"sv},
    // 0x184D2A50 to 0x184D2A5F, little-endian.
    {Compression::Zstd, Role::Skippable, "\x50\x2a\x4d\x18"sv, "\x5f\x2a\x4d\x18"sv},
    // "BZh", the block size, and a compressed block or the end of an
    // empty stream.
    {Compression::Bzip2, Role::Member, "BZh1\x31\x41\x59\x26\x53\x59"sv, "BZh9\x31\x41\x59\x26\x53\x59"sv},
    {Compression::Bzip2, Role::Member, "BZh1\x17\x72\x45\x38\x50\x90"sv, "BZh9\x17\x72\x45\x38\x50\x90"sv},
};

// A skippable frame: its magic number, then its payload's length as four
// bytes, little-endian.
constexpr size_t kSkippableHeader = 8;

enum class Match : uint8_t { No, Partial, Full };

Match match(const Magic& magic, std::string_view bytes) noexcept {
  const size_t compared = std::min(bytes.size(), magic.low.size());
  for (size_t i = 0; i < compared; ++i) {
    const auto byte = static_cast<uint8_t>(bytes[i]);
    if (byte < static_cast<uint8_t>(magic.low[i]) || byte > static_cast<uint8_t>(magic.high[i])) return Match::No;
  }
  return compared == magic.low.size() ? Match::Full : Match::Partial;
}

// The first magic of `format` (any format for None) that `bytes` starts
// with; null with `partial` set when `bytes` could still grow into one.
const Magic* find_magic(std::string_view bytes, Compression format, bool& partial) noexcept {
  partial = false;
  for (const Magic& magic : kMagics) {
    if (format != Compression::None && magic.format != format) continue;
    Match found = match(magic, bytes);
    if (found == Match::Full) return &magic;
    partial = partial || found == Match::Partial;
  }
  return nullptr;
}

uint32_t little_endian_32(std::string_view bytes) noexcept {
  uint32_t value = 0;
  for (size_t i = 4; i-- > 0;) value = (value << 8) | static_cast<uint8_t>(bytes[i]);
  return value;
}

}  // namespace

std::optional<Compression> compression_of_start(std::string_view head) noexcept {
  bool partial;
  if (const Magic* magic = find_magic(head, Compression::None, partial)) return magic->format;
  if (partial) return std::nullopt;
  return Compression::None;
}

Compression compression_of(std::string_view head) noexcept {
  return compression_of_start(head).value_or(Compression::None);
}

const char* compression_name(Compression format) noexcept {
  switch (format) {
    case Compression::Gzip:
      return "gzip";
    case Compression::Bzip2:
      return "bzip2";
    case Compression::Xz:
      return "xz";
    case Compression::Zstd:
      return "zstd";
    case Compression::None:
      break;
  }
  return nullptr;
}

MemberGaps::Step MemberGaps::scan(std::string_view bytes) noexcept {
  const bool pads = format_ == Compression::Gzip || format_ == Compression::Xz;
  size_t at = 0;
  for (;;) {
    const size_t passed = static_cast<size_t>(std::min<uint64_t>(skipping_, bytes.size() - at));
    at += passed;
    skipping_ -= passed;
    std::string_view rest = bytes.substr(at);
    if (pads && (zeros_ > 0 || rest.starts_with('\0'))) {
      const size_t run = std::min(rest.find_first_not_of('\0'), rest.size());
      zeros_ += run;
      at += run;
      rest.remove_prefix(run);
      if (rest.empty()) return {Next::More, at};
      // gzip's padding runs to the end; xz's may precede another stream.
      if (format_ == Compression::Gzip || zeros_ % 4 != 0) return {Next::Invalid, at};
      zeros_ = 0;
    }
    if (rest.empty()) return {Next::More, at};
    bool partial;
    const Magic* magic = find_magic(rest, format_, partial);
    if (magic == nullptr) return {partial ? Next::More : Next::Invalid, at};
    if (magic->role == Role::Member) return {Next::Member, at};
    if (rest.size() < kSkippableHeader) return {Next::More, at};
    skipping_ = kSkippableHeader + uint64_t{little_endian_32(rest.substr(4))};
  }
}

MemberGaps::End MemberGaps::end(std::string_view held) const noexcept {
  // What is held starts a magic number or a skippable frame's header.
  if (skipping_ > 0 || !held.empty()) return End::Truncated;
  if (zeros_ % 4 != 0 && format_ == Compression::Xz) return End::Invalid;
  return End::Complete;
}

}  // namespace molbrook
