// What the fuzz targets share: a check that stops the run with a message
// (libFuzzer then saves the input as a crash), inputs copied into
// allocations of exactly their size so that AddressSanitizer sees any read
// past them, and the invariants every block keeps.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/block.hpp"

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace molbrook::fuzz {

// Bytes in a heap allocation of their exact size (plus `spare`).
class ExactBytes {
 public:
  explicit ExactBytes(std::string_view bytes, size_t spare = 0)
      : data_(new char[bytes.size() + spare]), size_(bytes.size()) {
    if (!bytes.empty()) std::memcpy(data_.get(), bytes.data(), bytes.size());
  }
  char* data() noexcept { return data_.get(); }
  std::string_view view() const noexcept { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_;
};

// A block's bytes end with a bare $$$$ line, its title line is its first
// line and its MDL ends at a line end before the terminator: exactly the
// states a pickled block may be rebuilt from.
inline void check_block(const Block& block) {
  FUZZ_CHECK(Block::restore(block.bytes(), block.title_end(), block.mdl_end()).has_value());
}

}  // namespace molbrook::fuzz
