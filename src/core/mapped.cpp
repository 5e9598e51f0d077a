#include "mapped.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "newline.hpp"
#include "split.hpp"

namespace molbrook {
namespace {

// The size of a file to map, or nullopt for one to read in chunks.
std::optional<size_t> mappable_size(const platform::File& file) noexcept {
  std::optional<uint64_t> size = platform::regular_file_size(file);
  // A mapping cannot be empty; an empty file reads as no blocks anyway.
  if (!size || *size == 0 || *size > SIZE_MAX) return std::nullopt;
  if (!platform::on_local_filesystem(file)) return std::nullopt;
  return static_cast<size_t>(*size);
}

// Where the $$$$ line of a translated block starts: just past the last LF
// before its final one, or 0 when the block is that line alone.
size_t last_line_start(std::string_view bytes) noexcept {
  if (bytes.ends_with('\n')) bytes.remove_suffix(1);
  size_t lf = bytes.rfind('\n');
  return lf == std::string_view::npos ? 0 : lf + 1;
}

}  // namespace

Result<OpenedFile, platform::SystemError> open_for_reading(const char* path) noexcept {
  Result<platform::File, platform::SystemError> file = platform::open_read_only(path);
  if (!file) return file.error();
  OpenedFile opened;
  if (std::optional<size_t> size = mappable_size(*file)) {
    // A file that cannot be mapped is read in chunks instead.
    if (Result<MappingRef, platform::SystemError> mapping = Mapping::map_file(*file, *size)) {
      opened.mapping = std::move(*mapping);
      return opened;
    }
  }
  opened.file = std::move(*file);
  return opened;
}

void MappedReader::next_batch() {
  queue_.clear();
  front_ = 0;
  std::string_view file = mapping_->bytes();
  const size_t limit = offset_ + std::min(kBatchSpan, SIZE_MAX - offset_);
  while (offset_ < file.size()) {
    offset_ += queue_block(file.substr(offset_));
    if (offset_ >= limit) break;
  }
  release_consumed_pages();
}

size_t MappedReader::queue_block(std::string_view rest) {
  BlockEnd end = find_block_end(rest, universal_);
  std::string_view bytes = rest.substr(0, end.end);
  std::optional<size_t> term_start = end.found ? std::optional(end.term_start) : std::nullopt;
  if (end.first_cr != end.end) {
    // Universal mode: the copy reads as text, CRLF and lone CR as LF.
    ByteBuffer text = translate_copy(bytes, end.first_cr);
    if (term_start) term_start = last_line_start(text.view());
    queue_.push_back(Block::build(std::move(text), term_start));
    return end.end;
  }
  if (term_start) {
    std::optional<Block> unchanged = borrow_ ? Block::borrow(mapping_, offset_, offset_ + end.end, *term_start)
                                             : Block::copy_unchanged(bytes, *term_start);
    if (unchanged) {
      queue_.push_back(std::move(*unchanged));
      return end.end;
    }
  }
  queue_.push_back(Block::build(ByteBuffer(bytes), term_start));
  return end.end;
}

void MappedReader::release_consumed_pages() noexcept {
  if (offset_ < kReleaseLag) return;
  size_t below = (offset_ - kReleaseLag) / kReleaseGranule * kReleaseGranule;
  if (below < released_ + kReleaseLag) return;
  // A failure is harmless: the pages stay resident and the next batch
  // tries again.
  if (mapping_->release_pages(released_, below)) released_ = below;
}

}  // namespace molbrook
