#include "mapping.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace molbrook {

MappingRef Mapping::map_file(int fd, size_t size, int& error) noexcept {
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) {
    error = errno;
    return {};
  }
  Mapping* mapping = new (std::nothrow) Mapping(static_cast<const char*>(data), size);
  if (mapping == nullptr) {
    munmap(data, size);
    error = ENOMEM;
    return {};
  }
  return MappingRef(mapping);
}

bool Mapping::release_pages(size_t from, size_t to) const noexcept {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t start = from - from % page;
  if (to > size_) to = size_;
  if (to <= start) return true;
  return madvise(const_cast<char*>(data_) + start, to - start, MADV_DONTNEED) == 0;
}

Mapping::~Mapping() { munmap(const_cast<char*>(data_), size_); }

}  // namespace molbrook
