// Growable byte buffer shared by blocks, the splitter and the writers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "core/base/prefetch.hpp"

namespace molbrook {

// Unlike std::string, the capacity past size() is the caller's to use:
// sources read into it and newline translation may read 16 bytes ahead of
// the data. Growth goes through realloc and never zero-fills. Allocation
// failure throws std::bad_alloc, which the Python layer turns into
// MemoryError at its entry points.
class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;

  // A copy of `bytes` with `spare` bytes of capacity after them.
  explicit ByteBuffer(std::string_view bytes, size_t spare = 0) {
    reserve(bytes.size() + spare);
    append(bytes);
  }

  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}

  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    ByteBuffer(std::move(other)).swap(*this);
    return *this;
  }

  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  ~ByteBuffer() { std::free(data_); }

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data_, size_}; }

  // Makes the capacity at least `capacity` bytes, exactly when it grows.
  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
  }

  // Makes room for `extra` bytes past size(), at least doubling the
  // capacity when it has to grow.
  void reserve_extra(size_t extra) {
    if (extra > SIZE_MAX - size_) throw std::bad_alloc();
    size_t needed = size_ + extra;
    if (needed <= capacity_) return;
    size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
    reserve(std::max({needed, doubled, size_t{8}}));
  }

  void append(std::string_view bytes) {
    if (bytes.empty()) return;
    reserve_extra(bytes.size());
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
  }

  void push_back(char byte) {
    reserve_extra(1);
    data_[size_++] = byte;
  }

  // Asks for the cache line two past the end, when the capacity reaches
  // it: a caller filling many buffers side by side (a table's columns) has
  // more streams than the hardware prefetcher follows, and each append
  // would otherwise wait on memory at every new line.
  void prefetch_ahead() const noexcept {
    constexpr size_t kAhead = 128;
    if (capacity_ - size_ > kAhead) prefetch_for_write(data_ + size_ + kAhead);
  }

  // Adopts bytes the caller wrote into the spare capacity (or drops bytes
  // from the end); `size` must not exceed capacity().
  void set_size(size_t size) noexcept { size_ = size; }

  void clear() noexcept { size_ = 0; }

  // Frees the memory, leaving an empty buffer.
  void reset() noexcept { ByteBuffer().swap(*this); }

  void swap(ByteBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace molbrook
