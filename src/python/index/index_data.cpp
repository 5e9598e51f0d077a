#include "index/index_data.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "core/read/splitter.hpp"
#include "base/errors.hpp"
#include "base/gil.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

// The most a BGZF member occupies in the file.
constexpr uint64_t kMaxMemberSize = 65536;
constexpr uint64_t kInMemberMask = 0xFFFF;

PyObject* raise_changed(PyObject* path) noexcept {
  PyErr_Format(PyExc_ValueError, "%R changed since it was indexed: index it again", path);
  return nullptr;
}

}  // namespace

bool DataFile::read_file(uint64_t offset, size_t size, ByteBuffer& out) {
  if (read_at_) return read_through_python(offset, size, out);
  out.clear();
  out.reserve(size);
  Result<size_t, platform::SystemError> count = size_t{0};
  {
    ReleasedGil unlocked;
    count = platform::read_at(file_, offset, out.data(), size);
  }
  if (!count) {
    raise_os_error(count.error().code, path_.get());
    return false;
  }
  out.set_size(*count);
  return true;
}

bool DataFile::read_through_python(uint64_t offset, size_t size, ByteBuffer& out) {
  Ref data = Ref::steal(PyObject_CallFunction(read_at_.get(), "KK", static_cast<unsigned long long>(offset),
                                              static_cast<unsigned long long>(size)));
  if (!data) return false;
  char* bytes;
  Py_ssize_t count;
  if (PyBytes_AsStringAndSize(data.get(), &bytes, &count) < 0) return false;
  out.clear();
  out.append({bytes, std::min(to_size(count), size)});
  return true;
}

// A BGZF range starts in the member of the first block's virtual offset
// and ends in the member of the last one's (read whole, unless the range
// ends where that member starts).
bool DataFile::read_data(const IndexView& index, uint64_t first, uint64_t last, uint64_t from, uint64_t to,
                         ByteBuffer& out) {
  if (!inflate_) {
    if (!read_file(from, static_cast<size_t>(to - from), out)) return false;
    return out.size() == to - from || raise_changed(path_.get());
  }
  const uint64_t begin = index.virtual_offset(first);
  const uint64_t end = index.virtual_offset(last);
  const uint64_t compressed_from = begin >> 16;
  const uint64_t compressed_to = (end >> 16) + ((end & kInMemberMask) != 0 ? kMaxMemberSize : 0);
  ByteBuffer raw;
  if (!read_file(compressed_from, static_cast<size_t>(compressed_to - compressed_from), raw)) return false;
  const uint64_t skip = (begin & kInMemberMask) + (from - index.start(first));
  Ref view = Ref::steal(PyMemoryView_FromMemory(raw.data(), to_py_size(raw.size()), PyBUF_READ));
  if (!view) return false;
  Ref inflated = Ref::steal(PyObject_CallFunction(inflate_.get(), "OKK", view.get(),
                                                  static_cast<unsigned long long>(skip),
                                                  static_cast<unsigned long long>(to - from)));
  // The view must not outlive the buffer it shows.
  Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
  if (!inflated || !released) return false;
  char* bytes;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(inflated.get(), &bytes, &size) < 0) return false;
  if (static_cast<uint64_t>(size) != to - from) return raise_changed(path_.get());
  out.clear();
  out.append({bytes, to_size(size)});
  return true;
}

int DataFile::traverse(visitproc visit, void* arg) const noexcept {
  Py_VISIT(read_at_.get());
  Py_VISIT(path_.get());
  Py_VISIT(inflate_.get());
  return 0;
}

std::optional<Block> cut_indexed_block(const IndexView& index, Kind kind, std::string_view data, uint64_t from,
                                       uint64_t ordinal) {
  std::string_view block = data.substr(index.start(ordinal) - from, index.start(ordinal + 1) - index.start(ordinal));
  BlockEnd end = find_block_end(block, kind);
  // Every block but the last ends with its $$$$ line exactly.
  if (end.end != block.size() || !(end.found || ordinal + 1 == index.block_count())) return std::nullopt;
  return cut_block(block, end);
}

bool raise_changed_data(const DataFile& data) noexcept {
  raise_changed(data.path());
  return false;
}

std::optional<std::vector<Block>> read_blocks(DataFile& data, const IndexView& index, Kind kind, uint64_t first,
                                              uint64_t last) {
  const uint64_t from = index.start(first);
  ByteBuffer bytes;
  if (!data.read_data(index, first, last, from, index.start(last), bytes)) return std::nullopt;
  std::vector<Block> blocks;
  bool intact = true;
  {
    ReleasedGil unlocked;
    blocks.reserve(static_cast<size_t>(last - first));
    for (uint64_t i = first; i < last && intact; ++i) {
      std::optional<Block> block = cut_indexed_block(index, kind, bytes.view(), from, i);
      intact = block.has_value();
      if (intact) blocks.push_back(std::move(*block));
    }
  }
  if (!intact) {
    raise_changed_data(data);
    return std::nullopt;
  }
  return blocks;
}

}  // namespace molbrook::py
