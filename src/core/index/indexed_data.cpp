#include "core/index/indexed_data.hpp"

namespace molbrook {

bool PlainData::read_file(uint64_t offset, size_t size, ByteBuffer& out) {
  out.clear();
  out.reserve(size);
  Result<size_t, platform::SystemError> count = platform::read_at(file_, offset, out.data(), size);
  if (!count) {
    error_ = count.error();
    return false;
  }
  out.set_size(*count);
  return true;
}

}  // namespace molbrook
