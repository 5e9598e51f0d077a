// Files written through descriptors: creating them and writing whole
// buffers, with interrupted system calls retried.
#pragma once

#include <string_view>

namespace molbrook {

// Returned by write_all when write(2) accepted nothing, which has no errno.
inline constexpr int kWroteNothing = -1;

// Opens `path` for writing, created with mode 0666 (before the umask) or
// truncated. Returns the descriptor, or -1 with `error` set to the errno.
int create_for_writing(const char* path, int& error) noexcept;

// Writes all of `bytes`, continuing after partial writes. Returns 0, the
// errno of a failed write(2), or kWroteNothing.
int write_all(int fd, std::string_view bytes) noexcept;

}  // namespace molbrook
