#include "core/read/mapped_reader.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/read/range.hpp"
#include "core/read/splitter.hpp"

namespace molbrook {

void MappedReader::next_batch() {
  queue_.clear();
  front_ = 0;
  std::string_view file = mapping_->bytes();
  if (!aligned_) {
    offset_ = first_block_start(file, offset_, kind_);
    aligned_ = true;
  }
  const size_t stop = std::min(end_, file.size());
  const size_t limit = offset_ + std::min(kBatchSpan, SIZE_MAX - offset_);
  while (offset_ < stop) {
    offset_ += queue_block(file.substr(offset_));
    if (offset_ >= limit) break;
  }
  release_consumed_pages();
}

size_t MappedReader::queue_block(std::string_view rest) {
  BlockEnd end = find_block_end(rest, kind_);
  std::optional<Block> borrowed;
  if (borrow_ && end.found && end.first_cr == end.end) {
    borrowed = Block::borrow(mapping_, offset_, offset_ + end.end, end.term_start);
  }
  queue_.push_back(borrowed ? std::move(*borrowed) : cut_block(rest, end));
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
