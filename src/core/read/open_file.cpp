#include "core/read/open_file.hpp"

#include <cstdint>
#include <optional>

namespace molbrook {
namespace {

// The size of a regular file to map (`size`, nothing for other files), or
// nullopt for one to read in chunks.
std::optional<size_t> mappable_size(const platform::File& file, std::optional<uint64_t> size) noexcept {
  // A mapping cannot be empty; an empty file reads as no blocks anyway.
  if (!size || *size == 0 || *size > SIZE_MAX) return std::nullopt;
  if (!platform::on_local_filesystem(file)) return std::nullopt;
  return static_cast<size_t>(*size);
}

// The format of a regular file. A failed read counts as uncompressed:
// reading the blocks reports it.
Compression compression_at_start(const platform::File& file) noexcept {
  char head[kMagicLength];
  Result<size_t, platform::SystemError> count = platform::read_at(file, 0, head, sizeof head);
  return count ? compression_of({head, *count}) : Compression::None;
}

}  // namespace

Result<OpenedFile, platform::SystemError> open_for_reading(const char* path, MappedHandle handle) noexcept {
  Result<platform::File, platform::SystemError> file = platform::open_read_only(path);
  if (!file) return file.error();
  OpenedFile opened;
  std::optional<uint64_t> regular_size = platform::regular_file_size(*file);
  opened.seekable = regular_size.has_value();
  opened.size = regular_size.value_or(0);
  if (opened.seekable) opened.compression = compression_at_start(*file);
  // Compressed data is read in chunks: only the decompressor sees it.
  std::optional<size_t> size = mappable_size(*file, regular_size);
  if (size && opened.compression == Compression::None) {
    // A file that cannot be mapped is read in chunks instead.
    if (Result<MappingRef, platform::SystemError> mapping = Mapping::map_file(*file, *size)) {
      opened.mapping = std::move(*mapping);
      if (handle == MappedHandle::Keep) opened.file = std::move(*file);
      return opened;
    }
  }
  opened.file = std::move(*file);
  return opened;
}

}  // namespace molbrook
