#include "core/read/compression.hpp"

namespace molbrook {
namespace {

using namespace std::string_view_literals;

bool is_bzip2(std::string_view head) noexcept {
  if (head.size() < kMagicLength || !head.starts_with("BZh"sv) || head[3] < '1' || head[3] > '9') return false;
  std::string_view block = head.substr(4, 6);
  // A compressed block, or the end of stream of an empty file.
  return block == "\x31\x41\x59\x26\x53\x59"sv || block == "\x17\x72\x45\x38\x50\x90"sv;
}

}  // namespace

Compression compression_of(std::string_view head) noexcept {
  if (head.starts_with("\x1f\x8b"sv)) return Compression::Gzip;
  if (head.starts_with("\xfd" "7zXZ\x00"sv)) return Compression::Xz;
  if (head.starts_with("\x28\xb5\x2f\xfd"sv)) return Compression::Zstd;
  if (is_bzip2(head)) return Compression::Bzip2;
  return Compression::None;
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

}  // namespace molbrook
