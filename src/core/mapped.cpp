#include "mapped.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>

#include "range.hpp"
#include "split.hpp"

#if defined(__linux__)
#include <sys/vfs.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
#include <sys/mount.h>
#endif

namespace molbrook {
namespace {

// Whether the file lives on a filesystem whose pages are the machine's
// own. A mapped page that a server takes away, or a pseudo-file that
// changes under the mapping, kills the process with SIGBUS; such files
// are read through their descriptor instead.
bool on_local_filesystem(int fd) noexcept {
#if defined(__linux__)
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
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
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 && (fs.f_flags & MNT_LOCAL) != 0;
#else
  (void)fd;  // no way to tell: read every file in chunks
  return false;
#endif
}

// The size of a regular file to map, or nullopt for one to read in chunks.
std::optional<size_t> mappable_size(int fd, const struct stat& status) noexcept {
  // A mapping cannot be empty; an empty file reads as no blocks anyway.
  if (status.st_size <= 0 || static_cast<uintmax_t>(status.st_size) > SIZE_MAX) return std::nullopt;
  if (!on_local_filesystem(fd)) return std::nullopt;
  return static_cast<size_t>(status.st_size);
}

// The format of a regular file read through its descriptor. A failed read
// counts as uncompressed: reading the blocks reports it.
Compression compression_at_start(int fd) noexcept {
  char head[kMagicLength];
  ssize_t count;
  do {
    count = pread(fd, head, sizeof head, 0);
  } while (count < 0 && errno == EINTR);
  return count > 0 ? compression_of({head, static_cast<size_t>(count)}) : Compression::None;
}

}  // namespace

OpenedFile open_for_reading(const char* path) noexcept {
  OpenedFile opened;
  Descriptor fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    opened.error = errno;
    return opened;
  }
  struct stat status;
  opened.seekable = fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode);
  if (!opened.seekable) {
    opened.descriptor = std::move(fd);
    return opened;
  }
  if (std::optional<size_t> size = mappable_size(fd.get(), status)) {
    int ignored;  // a file that cannot be mapped is read in chunks instead
    opened.mapping = Mapping::map_file(fd.get(), *size, ignored);
    if (opened.mapping) {
      opened.compression = compression_of(opened.mapping->bytes().substr(0, kMagicLength));
      return opened;
    }
  }
  opened.compression = compression_at_start(fd.get());
  opened.descriptor = std::move(fd);
  return opened;
}

void MappedReader::next_batch() {
  queue_.clear();
  front_ = 0;
  std::string_view file = mapping_->bytes();
  if (!aligned_) {
    offset_ = first_block_start(file, offset_, universal_);
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
  BlockEnd end = find_block_end(rest, universal_);
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
