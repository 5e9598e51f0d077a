#include "descriptor.hpp"

#include <unistd.h>

#include <cerrno>

namespace molbrook {

int Descriptor::close() noexcept {
  if (fd_ < 0) return 0;
  if (::close(std::exchange(fd_, -1)) == 0 || errno == EINTR) return 0;
  return errno;
}

}  // namespace molbrook
