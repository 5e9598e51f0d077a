#include "core/platform/file_mapping.hpp"

#include <cerrno>
#include <new>

namespace molbrook {

Result<MappingRef, platform::SystemError> Mapping::map_file(const platform::File& file, size_t size) noexcept {
  Result<const char*, platform::SystemError> data = platform::map_read_only(file, size);
  if (!data) return data.error();
  Mapping* mapping = new (std::nothrow) Mapping(*data, size);
  if (mapping == nullptr) {
    platform::unmap(*data, size);
    return platform::SystemError{ENOMEM};
  }
  return MappingRef(mapping);
}

bool Mapping::release_pages(size_t from, size_t to) const noexcept {
  const size_t page = platform::page_size();
  size_t start = from - from % page;
  if (to > size_) to = size_;
  if (to <= start) return true;
  return platform::release_pages(data_ + start, to - start);
}

Mapping::~Mapping() { platform::unmap(data_, size_); }

}  // namespace molbrook
