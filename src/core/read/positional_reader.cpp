#include "core/read/positional_reader.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/read/range.hpp"

namespace molbrook {

Status<platform::SystemError> PositionalReader::next_batch() {
  queue_.clear();
  front_ = 0;
  if (!aligned_) {
    if (Failure error = align()) return error;
    aligned_ = true;
  }
  size_t batch = 0;
  while (!done_ && offset_ < end_ && batch < kBatchSpan) {
    BlockEnd end;
    // Blocks already cut are handed out first; the read fails again next time.
    if (Failure error = settled_block_end(offset_, end)) return queue_.empty() ? error : std::nullopt;
    std::string_view rest = window_from(offset_);
    if (rest.empty()) {
      done_ = true;
      break;
    }
    queue_.push_back(cut_block(rest, end));
    offset_ += end.end;
    batch += end.end;
  }
  return std::nullopt;
}

PositionalReader::Failure PositionalReader::align() {
  if (offset_ == 0) return std::nullopt;
  size_t line;
  BlockEnd end;
  if (Failure error = line_start_before_offset(line)) return error;
  if (Failure error = settled_block_end(line, end)) return error;
  if (end.found) {
    offset_ = line + end.end;
  } else {
    done_ = true;  // the last block starts before offset_
  }
  return std::nullopt;
}

PositionalReader::Failure PositionalReader::line_start_before_offset(size_t& line) {
  for (size_t span = kReadSize;; span = span > SIZE_MAX / 2 ? SIZE_MAX : span * 2) {
    const size_t from = offset_ > span ? offset_ - span : 0;
    window_.clear();
    window_.reserve(offset_ - from);
    Result<size_t, platform::SystemError> count = read_at(from, window_.data(), offset_ - from);
    if (!count) return count.error();
    window_.set_size(*count);
    base_ = from;
    window_at_eof_ = *count < offset_ - from;
    if (window_at_eof_) {
      done_ = true;  // the range starts past the end of the file
      line = offset_;
      return std::nullopt;
    }
    std::optional<size_t> start = line_start_at_end(window_.view(), kind_);
    if (start || from == 0) {
      line = from + start.value_or(0);
      return std::nullopt;
    }
  }
}

PositionalReader::Failure PositionalReader::settled_block_end(size_t from, BlockEnd& end) {
  for (;;) {
    std::string_view rest = window_from(from);
    end = find_block_end(rest, kind_);
    // A line ending at the window's end may go on (a CR before an LF).
    if (window_at_eof_ || (end.found && end.end < rest.size())) return std::nullopt;
    if (Failure error = read_more(from)) return error;
  }
}

PositionalReader::Failure PositionalReader::read_more(size_t from) {
  std::string_view kept = window_from(from);
  if (!kept.empty()) std::memmove(window_.data(), kept.data(), kept.size());
  window_.set_size(kept.size());
  base_ = from;
  const size_t wanted = std::max(kReadSize, kept.size());
  window_.reserve_extra(wanted);
  Result<size_t, platform::SystemError> count =
      read_at(base_ + kept.size(), window_.data() + kept.size(), wanted);
  if (!count) return count.error();
  window_.set_size(kept.size() + *count);
  window_at_eof_ = *count < wanted;
  return std::nullopt;
}

Result<size_t, platform::SystemError> PositionalReader::read_at(size_t offset, char* buffer, size_t size) const {
  return read_ ? read_(offset, buffer, size) : platform::read_at(file_, offset, buffer, size);
}

std::string_view PositionalReader::window_from(size_t from) const noexcept {
  std::string_view window = window_.view();
  return from - base_ < window.size() ? window.substr(from - base_) : std::string_view();
}

}  // namespace molbrook
