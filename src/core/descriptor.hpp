// An open file descriptor that closes itself.
#pragma once

#include <utility>

namespace molbrook {

class Descriptor {
 public:
  Descriptor() noexcept = default;
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    Descriptor taken(std::move(other));
    std::swap(fd_, taken.fd_);
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { close(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Closes now (a writer must learn whether its data reached the file);
  // returns 0 or the errno of a failed close(2). An interrupted close is
  // not an error: the descriptor is gone either way on Linux, and retrying
  // could close one that another thread has just opened.
  int close() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace molbrook
