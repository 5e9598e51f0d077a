#include "core/sort/run_file.hpp"

#include <cerrno>
#include <cstring>

#include "core/base/little_endian.hpp"

namespace molbrook {
namespace {

constexpr size_t kWriteChunk = 1 << 20;

}  // namespace

std::string RunFolder::new_path() {
  std::string path = folder_;
  path += "/run-";
  path += std::to_string(made_++);
  return path;
}

void append_entry(ByteBuffer& out, const SortEntry& entry) {
  out.reserve_extra(kEntryHeader + entry.key.size() + entry.payload.size());
  append_le<uint32_t>(out, static_cast<uint32_t>(entry.key.size()));
  append_le<uint64_t>(out, entry.payload.size());
  out.append(entry.key);
  out.append(entry.payload);
}

size_t entry_size(const char* at) noexcept {
  return kEntryHeader + load_le<uint32_t>(at) + static_cast<size_t>(load_le<uint64_t>(at + 4));
}

SortEntry entry_at(const char* at) noexcept {
  const size_t key_size = load_le<uint32_t>(at);
  const size_t payload_size = static_cast<size_t>(load_le<uint64_t>(at + 4));
  return {{at + kEntryHeader, key_size}, {at + kEntryHeader + key_size, payload_size}};
}

Result<RunWriter, RunError> RunWriter::create(std::string path) {
  Result<platform::File, platform::SystemError> file = platform::create_for_writing(path.c_str());
  if (!file) return RunError{file.error(), std::move(path)};
  return RunWriter(std::move(*file), std::move(path));
}

Status<RunError> RunWriter::write(const SortEntry& entry) {
  append_entry(buffer_, entry);
  return buffer_.size() >= kWriteChunk ? flush() : std::nullopt;
}

Status<RunError> RunWriter::flush() {
  Status<platform::SystemError> failed = platform::write_all(file_, buffer_.view());
  buffer_.clear();
  if (!failed) return std::nullopt;
  // A write the system took nothing of, on a full disk, has no errno.
  if (failed->code == platform::kWroteNothing) failed->code = ENOSPC;
  return RunError{*failed, path_};
}

Status<RunError> RunWriter::finish() {
  Status<RunError> flushed = flush();
  Status<platform::SystemError> closed = file_.close();
  if (flushed) return flushed;
  if (closed) return RunError{*closed, path_};
  return std::nullopt;
}

Result<RunReader, RunError> RunReader::open(std::string path, size_t chunk) {
  Result<platform::File, platform::SystemError> file = platform::open_read_only(path.c_str());
  while (!file && file.error().code == EINTR) file = platform::open_read_only(path.c_str());
  if (!file) return RunError{file.error(), std::move(path)};
  return RunReader(std::move(*file), std::move(path), chunk);
}

Result<bool, RunError> RunReader::fill(size_t size) {
  if (buffer_.size() - position_ >= size) return true;
  // Keep the unread bytes, at the front.
  const size_t kept = buffer_.size() - position_;
  if (kept > 0) std::memmove(buffer_.data(), buffer_.data() + position_, kept);  // a new buffer has no data
  buffer_.set_size(kept);
  position_ = 0;
  buffer_.reserve(std::max(size, chunk_));
  while (buffer_.size() < size) {
    Result<size_t, platform::SystemError> count =
        platform::read_some(file_, buffer_.data() + buffer_.size(), buffer_.capacity() - buffer_.size());
    if (!count) {
      if (count.error().code == EINTR) continue;
      return RunError{count.error(), path_};
    }
    if (*count == 0) {
      if (buffer_.size() == 0) return false;
      return RunError{{EIO}, path_};  // a run cut short
    }
    buffer_.set_size(buffer_.size() + *count);
  }
  return true;
}

Result<bool, RunError> RunReader::next(SortEntry& entry) {
  Result<bool, RunError> header = fill(kEntryHeader);
  if (!header || !*header) return header;
  const size_t size = entry_size(buffer_.data() + position_);
  Result<bool, RunError> body = fill(size);
  if (!body) return body;
  if (!*body) return RunError{{EIO}, path_};
  entry = entry_at(buffer_.data() + position_);
  position_ += size;
  return true;
}

}  // namespace molbrook
