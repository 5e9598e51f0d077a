// The platform layer on Linux, macOS and the BSDs.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <limits>

#include "core/platform/file.hpp"

#if defined(__linux__)
#include <sys/vfs.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
#include <sys/mount.h>
#endif

namespace molbrook::platform {
namespace {

// Larger requests fail with EINVAL on some systems.
constexpr size_t kMaxTransfer = INT_MAX;

int descriptor(const File& file) noexcept { return static_cast<int>(file.handle()); }

SystemError last_error() noexcept { return {errno}; }

Result<File, SystemError> open_file(const char* path, int flags, mode_t mode) noexcept {
  int fd = ::open(path, flags | O_CLOEXEC, mode);
  if (fd < 0) return last_error();
  return File(fd);
}

}  // namespace

Status<SystemError> File::close() noexcept {
  if (handle_ == kNoHandle) return std::nullopt;
  if (::close(static_cast<int>(std::exchange(handle_, kNoHandle))) == 0 || errno == EINTR) return std::nullopt;
  return last_error();
}

Result<File, SystemError> open_read_only(const char* path) noexcept { return open_file(path, O_RDONLY, 0); }

Result<File, SystemError> create_for_writing(const char* path) noexcept {
  Result<File, SystemError> file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  while (!file && file.error().code == EINTR) file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  return file;
}

Status<SystemError> remove_file(const char* path) noexcept {
  if (::unlink(path) == 0) return std::nullopt;
  return last_error();
}

Result<size_t, SystemError> read_some(const File& file, char* buffer, size_t size) noexcept {
  ssize_t count = ::read(descriptor(file), buffer, std::min(size, kMaxTransfer));
  if (count < 0) return last_error();
  return static_cast<size_t>(count);
}

Result<size_t, SystemError> read_at(const File& file, uint64_t offset, char* buffer, size_t size) noexcept {
  size_t done = 0;
  while (done < size) {
    if (offset + done > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return SystemError{EOVERFLOW};
    ssize_t count = ::pread(descriptor(file), buffer + done, std::min(size - done, kMaxTransfer),
                            static_cast<off_t>(offset + done));
    if (count < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (count == 0) break;
    done += static_cast<size_t>(count);
  }
  return done;
}

Status<SystemError> write_all(const File& file, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    ssize_t written = ::write(descriptor(file), bytes.data(), std::min(bytes.size(), kMaxTransfer));
    if (written < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (written == 0) return SystemError{kWroteNothing};
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return std::nullopt;
}

std::optional<uint64_t> regular_file_size(const File& file) noexcept {
  struct stat status{};
  if (fstat(descriptor(file), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) return std::nullopt;
  return static_cast<uint64_t>(status.st_size);
}

std::optional<int64_t> modification_time_ns(const File& file) noexcept {
  struct stat status{};
  if (fstat(descriptor(file), &status) != 0) return std::nullopt;
#if defined(__APPLE__)
  const struct timespec& time = status.st_mtimespec;
#else
  const struct timespec& time = status.st_mtim;
#endif
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

bool on_local_filesystem(const File& file) noexcept {
#if defined(__linux__)
  struct statfs fs{};
  if (fstatfs(descriptor(file), &fs) != 0) return false;
  switch (static_cast<uint32_t>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs, virtiofs and friends)
    case 0x73757245:  // Coda
    case 0x5346414F:  // AFS
    case 0x6B414653:  // kAFS
    case 0x00C36400:  // Ceph
    case 0x01021997:  // 9p
    case 0x0BD00BD0:  // Lustre
    case 0x47504653:  // GPFS
    case 0x01161970:  // GFS2
    case 0x7461636F:  // OCFS2
    case 0x9FA0:      // proc
    case 0x62656572:  // sysfs
      return false;
    default:
      return true;
  }
#elif defined(MNT_LOCAL)
  struct statfs fs{};
  return fstatfs(descriptor(file), &fs) == 0 && (fs.f_flags & MNT_LOCAL) != 0;
#else
  (void)file;  // no way to tell: read every file in chunks
  return false;
#endif
}

Result<const char*, SystemError> map_read_only(const File& file, size_t size) noexcept {
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor(file), 0);
  if (data == MAP_FAILED) return last_error();
  return static_cast<const char*>(data);
}

void unmap(const char* data, size_t size) noexcept { munmap(const_cast<char*>(data), size); }

bool release_pages(const char* data, size_t size) noexcept {
  return madvise(const_cast<char*>(data), size, MADV_DONTNEED) == 0;
}

size_t page_size() noexcept {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace molbrook::platform
