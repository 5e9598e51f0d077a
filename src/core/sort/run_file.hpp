// Sorted runs on disk: entries of (key, payload) written in order to a
// file of their own and read back a buffer at a time for merging.
//
// An entry is its key length (4 bytes) and its payload length (8 bytes),
// little-endian, then the key and the payload. Held entries in memory have
// the same layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/base/result.hpp"
#include "core/platform/file.hpp"

namespace molbrook {

struct SortEntry {
  std::string_view key;
  std::string_view payload;
};

// A failed system call on a run file, and that file's path.
struct RunError {
  platform::SystemError error;
  std::string path;
};

// Names the run files of one sort in a folder that the caller made for
// them and removes with everything in it; counts them.
class RunFolder {
 public:
  explicit RunFolder(std::string folder) noexcept : folder_(std::move(folder)) {}
  std::string new_path();
  uint64_t runs_made() const noexcept { return made_; }

 private:
  std::string folder_;
  uint64_t made_ = 0;
};

// The header and the bytes of one entry, appended to `out`.
void append_entry(ByteBuffer& out, const SortEntry& entry);
constexpr size_t kEntryHeader = 12;

// The bytes an entry takes, from its header at `at`.
size_t entry_size(const char* at) noexcept;
// The entry whose header is at `at`.
SortEntry entry_at(const char* at) noexcept;

class RunWriter {
 public:
  static Result<RunWriter, RunError> create(std::string path);
  Status<RunError> write(const SortEntry& entry);
  // Writes what is buffered and closes the file.
  Status<RunError> finish();
  const std::string& path() const noexcept { return path_; }

 private:
  RunWriter(platform::File file, std::string path) noexcept : file_(std::move(file)), path_(std::move(path)) {}
  Status<RunError> flush();

  platform::File file_;
  std::string path_;
  ByteBuffer buffer_;
};

class RunReader {
 public:
  // Reads `chunk` bytes at a time (more for an entry larger than that).
  static Result<RunReader, RunError> open(std::string path, size_t chunk);
  // The next entry, valid until the following call; false at the end.
  Result<bool, RunError> next(SortEntry& entry);
  const std::string& path() const noexcept { return path_; }

 private:
  RunReader(platform::File file, std::string path, size_t chunk) noexcept
      : file_(std::move(file)), path_(std::move(path)), chunk_(chunk) {}
  // Makes `size` bytes from position_ on available; false at the end of
  // the file.
  Result<bool, RunError> fill(size_t size);

  platform::File file_;
  std::string path_;
  size_t chunk_;
  ByteBuffer buffer_;
  size_t position_ = 0;
};

}  // namespace molbrook
