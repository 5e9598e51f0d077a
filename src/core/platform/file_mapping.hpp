// A read-only mapping of a whole file, shared by the batch reader and by
// every block that borrows its bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <string_view>
#include <utility>

#include "core/platform/file.hpp"

namespace molbrook {

class MappingRef;

class Mapping {
 public:
  // Maps the first `size` (> 0) bytes of the open file read-only.
  static Result<MappingRef, platform::SystemError> map_file(const platform::File& file, size_t size) noexcept;

  std::string_view bytes() const noexcept { return {data_, size_}; }

  // Hands the pages over [from, to) back to the system; the file keeps its
  // data and the pages fault back in if read again. Returns false on
  // failure, which callers may ignore.
  bool release_pages(size_t from, size_t to) const noexcept;

 private:
  friend class MappingRef;
  Mapping(const char* data, size_t size) noexcept : data_(data), size_(size) {}
  ~Mapping();

  const char* data_;
  size_t size_;
  std::atomic<size_t> references_{1};
};

// A counted reference to a Mapping; the file is unmapped when the last
// reference goes. Counting is atomic: the reader and the blocks it hands
// out may be dropped on different threads.
class MappingRef {
 public:
  MappingRef() noexcept = default;
  MappingRef(const MappingRef& other) noexcept : mapping_(other.mapping_) {
    if (mapping_) mapping_->references_.fetch_add(1, std::memory_order_relaxed);
  }
  MappingRef(MappingRef&& other) noexcept : mapping_(std::exchange(other.mapping_, nullptr)) {}
  MappingRef& operator=(MappingRef other) noexcept {
    std::swap(mapping_, other.mapping_);
    return *this;
  }
  ~MappingRef() {
    if (mapping_ && mapping_->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete mapping_;
  }

  explicit operator bool() const noexcept { return mapping_ != nullptr; }
  const Mapping* operator->() const noexcept { return mapping_; }
  const Mapping& operator*() const noexcept { return *mapping_; }

 private:
  friend class Mapping;
  explicit MappingRef(Mapping* mapping) noexcept : mapping_(mapping) {}

  Mapping* mapping_ = nullptr;
};

}  // namespace molbrook
