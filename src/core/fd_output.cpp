#include "fd_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>

namespace molbrook {

int create_for_writing(const char* path, int& error) noexcept {
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) error = errno;
  return fd;
}

int write_all(int fd, std::string_view bytes) noexcept {
  // Larger requests fail with EINVAL on some systems.
  constexpr size_t kMaxWrite = INT_MAX;
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), std::min(bytes.size(), kMaxWrite));
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return kWroteNothing;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

}  // namespace molbrook
