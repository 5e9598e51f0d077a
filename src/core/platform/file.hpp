// What the core needs from the operating system: files opened, read,
// written and closed; a file mapped read-only and its pages given back
// behind the reader; whether a file's pages are the machine's own.
//
// posix.cpp implements it for Linux, macOS and the BSDs, win32.cpp for
// Windows; the build compiles one of them. No other core file includes an
// operating-system header. Paths are UTF-8 on Windows (converted to wide
// characters there) and the file system's bytes elsewhere.
//
// Limit: a file truncated while it is mapped is not detected. On POSIX
// systems reading the vanished pages kills the process (SIGBUS); Windows
// refuses to truncate a file while any view of it is mapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "core/base/result.hpp"

namespace molbrook::platform {

// A failed system call as an errno value. Windows errors are translated to
// the nearest errno, so callers raise the same exceptions everywhere.
struct SystemError {
  int code;
};

// The code of write_all's error when the system accepted nothing, which
// has no errno.
inline constexpr int kWroteNothing = -1;

// An open file that closes itself: a descriptor on POSIX, a HANDLE on
// Windows.
class File {
 public:
  File() noexcept = default;
  explicit File(intptr_t handle) noexcept : handle_(handle) {}
  File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNoHandle)) {}
  File& operator=(File&& other) noexcept {
    File taken(std::move(other));
    std::swap(handle_, taken.handle_);
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { close(); }

  intptr_t handle() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != kNoHandle; }

  // Closes now (a writer must learn whether its data reached the file).
  // An interrupted close is not an error: the descriptor is gone either way
  // on Linux, and retrying could close one another thread has just opened.
  Status<SystemError> close() noexcept;

 private:
  // -1 is neither a descriptor nor a valid HANDLE.
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
};

// Opens an existing file read-only; it is not inherited by child processes.
// An interruption by a signal is returned (EINTR), so that a caller waiting
// on a named pipe can run the signal handlers before it tries again.
Result<File, SystemError> open_read_only(const char* path) noexcept;

// Opens `path` for writing, created (mode 0666 before the umask on POSIX)
// or truncated.
Result<File, SystemError> create_for_writing(const char* path) noexcept;

// Reads up to `size` bytes at the file position; 0 at the end of the
// file. An interruption by a signal is returned as EINTR, so that the
// caller can run its handlers before trying again.
Result<size_t, SystemError> read_some(const File& file, char* buffer, size_t size) noexcept;

// Reads `size` bytes at `offset`, fewer only where the file ends, retrying
// after interruptions. On POSIX the file position stays; on Windows it
// moves past the bytes read, so a file read both ways needs its own handle
// for each.
Result<size_t, SystemError> read_at(const File& file, uint64_t offset, char* buffer, size_t size) noexcept;

// Writes all of `bytes`, continuing after partial writes and interruptions.
Status<SystemError> write_all(const File& file, std::string_view bytes) noexcept;

// The size of a regular file; nothing for pipes, devices, directories and
// files whose state cannot be read.
std::optional<uint64_t> regular_file_size(const File& file) noexcept;

// The last modification time of an open file, in nanoseconds since the
// Unix epoch; nothing when the system cannot tell.
std::optional<int64_t> modification_time_ns(const File& file) noexcept;

// Whether the file's pages are the machine's own. A mapped page that a
// server takes away, or a pseudo-file that changes under the mapping,
// would kill the process; such files are read, not mapped. False where
// the system cannot tell.
bool on_local_filesystem(const File& file) noexcept;

// Maps the first `size` (> 0) bytes of the file read-only. The mapping
// outlives the file's handle.
Result<const char*, SystemError> map_read_only(const File& file, size_t size) noexcept;

// Undoes map_read_only(file, size).
void unmap(const char* data, size_t size) noexcept;

// Hands the whole pages of [data, data + size) back to the system; the
// file keeps its data and the pages fault back in if read again. `data`
// must start a page. False on failure, which callers may ignore.
//
// POSIX: madvise(MADV_DONTNEED). Windows cannot discard the pages of a
// file view, but VirtualUnlock on pages that are not locked takes them out
// of the process's working set: they move to the system's standby list,
// as reclaimable as file cache, and fault back in from it.
bool release_pages(const char* data, size_t size) noexcept;

// The size of a page, the unit of release_pages.
size_t page_size() noexcept;

}  // namespace molbrook::platform
