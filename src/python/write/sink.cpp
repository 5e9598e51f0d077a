#include "write/sink.hpp"

#include <cstdio>
#include <string_view>
#include <utility>

#include "base/compat.hpp"
#include "core/platform/file.hpp"
#include "core/text/utf8.hpp"
#include "base/errors.hpp"
#include "base/gil.hpp"
#include "base/paths.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

constexpr size_t kPathChunk = 262144;  // bytes per system write
// Bytes per file-object write call: at least this many, ending on a block
// boundary, but for the last call and those around a block written alone.
constexpr size_t kFileChunk = 65536;

Py_ssize_t chunk_length(PyObject* chunk) noexcept {
  return PyUnicode_Check(chunk) ? PyUnicode_GET_LENGTH(chunk) : PyBytes_GET_SIZE(chunk);
}

Ref chunk_tail(PyObject* chunk, Py_ssize_t from) noexcept {
  Py_ssize_t length = chunk_length(chunk);
  if (PyUnicode_Check(chunk)) return Ref::steal(PyUnicode_Substring(chunk, from, length));
  return Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(chunk) + from, length - from));
}

// Passes a str or bytes chunk to a file object's write method until all of
// it is taken. Raw and non-blocking streams may take only part and return
// the count; a result that is not an int (None from objects that keep
// everything) means all was taken.
bool write_through(PyObject* write, Ref chunk) noexcept {
  for (;;) {
    Ref result = Ref::steal(PyObject_CallOneArg(write, chunk.get()));
    if (!result) return false;
    if (!PyLong_Check(result.get())) return true;
    Py_ssize_t taken = PyLong_AsSsize_t(result.get());
    if (taken == -1 && PyErr_Occurred()) return false;
    Py_ssize_t length = chunk_length(chunk.get());
    if (taken >= length) return true;
    if (taken < 0) {
      PyErr_Format(PyExc_OSError, "write() returned invalid length %zd (should have been between 0 and %zd)",
                   taken, length);
      return false;
    }
    if (taken == 0) {
      PyErr_SetString(PyExc_OSError, "failed to write whole buffer");
      return false;
    }
    chunk = chunk_tail(chunk.get(), taken);
    if (!chunk) return false;
  }
}

// Adds to a UnicodeDecodeError which block failed, counted from 0.
void note_block(uint64_t position, const Block& block) noexcept {
  char verb[48];
  std::snprintf(verb, sizeof verb, "Writing block %llu (from 0),", static_cast<unsigned long long>(position));
  note_decode_error(verb, block.title());
}

}  // namespace

SdfSink::SdfSink(std::variant<PathTarget, FileTarget> target, size_t threshold)
    : threshold_(threshold), target_(std::move(target)) {
  buffer_.reserve(2 * threshold);
}

std::optional<SdfSink> SdfSink::open(PyObject* dest, bool text_as_utf8) {
  // Not kept for the process, which every interpreter would share.
  Ref write_name = Ref::steal(PyUnicode_FromString("write"));
  if (!write_name) return std::nullopt;
  Ref write;
  // Without a write method, dest is a path.
  if (lookup_optional_attr(dest, write_name.get(), write) < 0) return std::nullopt;
  if (write) {
    std::optional<Kind> kind = text_as_utf8 ? std::optional(Kind::Bytes) : std::nullopt;
    return SdfSink(FileTarget{std::move(write), kind, text_as_utf8}, kFileChunk);
  }

  PathArgument path;
  if (!convert_path(dest, path)) return std::nullopt;
  const char* c_path = path.c_path();
  Result<platform::File, platform::SystemError> file = platform::SystemError{0};
  {
    ReleasedGil unlocked;
    file = platform::create_for_writing(c_path);
  }
  if (!file) {
    raise_os_error(file.error().code, path.path.get());
    return std::nullopt;
  }
  return SdfSink(PathTarget{std::move(*file), std::move(path.path)}, kPathChunk);
}

std::optional<SdfSink> SdfSink::open_formatted(PyObject* dest, Kind kind) {
  std::optional<SdfSink> sink = open(dest, kind == Kind::Bytes);
  FileTarget* file = sink ? std::get_if<FileTarget>(&sink->target_) : nullptr;
  if (file != nullptr) file->kind = kind;
  return sink;
}

bool SdfSink::commit(uint64_t blocks) {
  if (buffer_.size() >= threshold_ && !flush()) return false;
  written_ += blocks;
  return true;
}

bool SdfSink::write_block(PySDBlock* block) {
  FileTarget* file = std::get_if<FileTarget>(&target_);
  Ref alone;  // a non-ASCII text block bound for a file object, written by itself
  {
    SharedObjectBorrow borrow(object_of(block), block->borrow);
    if (!borrow) return false;
    if (file ? !check_kind(*file, block) : !check_utf8(block)) return false;
    std::string_view bytes = block->block.bytes();
    if (file != nullptr && file->kind == Kind::Str && !is_ascii(bytes)) {
      alone = decode_alone(block);
      if (!alone) return false;
    } else {
      buffer_.append(bytes);
    }
  }
  bool done = alone ? flush() && write_through(file->write.get(), std::move(alone))
                    : buffer_.size() < threshold_ || flush();
  if (!done) return false;
  ++written_;
  return true;
}

// A text block headed for a path or written as UTF-8 is checked once; the flag spares later
// writes of the same block the scan.
bool SdfSink::check_utf8(PySDBlock* block) {
  if (block->kind == Kind::Bytes || block->utf8_valid) return true;
  if (!check_text_block(block->block, written_)) return false;
  block->utf8_valid = true;
  return true;
}

bool check_text_block(const Block& block, uint64_t position) noexcept {
  std::string_view bytes = block.bytes();
  std::optional<Utf8Error> invalid = find_invalid_utf8(bytes);
  if (!invalid) return true;
  Ref error = Ref::steal(PyUnicodeDecodeError_Create("utf-8", bytes.data(), to_py_size(bytes.size()),
                                                     to_py_size(invalid->start),
                                                     to_py_size(invalid->end), "invalid utf-8"));
  if (!error) return false;
  PyErr_SetObject(PyExc_UnicodeDecodeError, error.get());
  note_block(position, block);
  return false;
}

// A file object takes either str or bytes, so one stream cannot mix them,
// unless it takes text blocks as UTF-8.
bool SdfSink::check_kind(FileTarget& file, PySDBlock* block) {
  if (file.text_as_utf8) return check_utf8(block);
  if (!file.kind) file.kind = block->kind;
  if (file.kind == block->kind) return true;
  PyErr_SetString(PyExc_TypeError, "cannot write mixed str and bytes blocks to a file object");
  return false;
}

Ref SdfSink::decode_alone(PySDBlock* block) noexcept {
  std::string_view bytes = block->block.bytes();
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), to_py_size(bytes.size()), nullptr));
  if (!text) {
    note_block(written_, block->block);
    return text;
  }
  block->utf8_valid = true;
  return text;
}

bool SdfSink::flush() {
  if (buffer_.empty()) return true;
  if (PathTarget* path = std::get_if<PathTarget>(&target_)) return flush_to_path(*path);
  return flush_to_file(std::get<FileTarget>(target_));
}

bool SdfSink::flush_to_path(PathTarget& path) noexcept {
  Status<platform::SystemError> error;
  {
    ReleasedGil unlocked;
    error = platform::write_all(path.fd, buffer_.view());
  }
  buffer_.clear();
  if (!error) return true;
  if (error->code == platform::kWroteNothing) {
    PyErr_SetString(PyExc_OSError, "failed to write whole buffer");
  } else {
    raise_os_error(error->code, path.path.get());
  }
  return false;
}

// Text sinks buffer only ASCII blocks, so the chunk decodes at ASCII speed.
bool SdfSink::flush_to_file(FileTarget& file) noexcept {
  std::string_view bytes = buffer_.view();
  const Py_ssize_t size = to_py_size(bytes.size());
  Ref chunk = Ref::steal(file.kind == Kind::Str ? PyUnicode_DecodeUTF8(bytes.data(), size, nullptr)
                                                       : PyBytes_FromStringAndSize(bytes.data(), size));
  buffer_.clear();
  return chunk && write_through(file.write.get(), std::move(chunk));
}

bool SdfSink::finish() {
  bool flushed = flush();
  PathTarget* path = std::get_if<PathTarget>(&target_);
  Status<platform::SystemError> close_error = path != nullptr ? path->fd.close() : std::nullopt;
  if (!flushed) return false;
  if (close_error) {
    raise_os_error(close_error->code, path->path.get());
    return false;
  }
  return true;
}

bool SdfSink::finish_after(bool wrote) {
  Ref run_error = wrote ? Ref() : take_exception();
  if (!finish()) {
    if (run_error) {
      Ref finish_error = take_exception();
      PyException_SetContext(finish_error.get(), run_error.release());
      restore_exception(std::move(finish_error));
    }
    return false;
  }
  if (run_error) restore_exception(std::move(run_error));
  return wrote;
}

// A path may be a str or bytes subclass whose attributes lead back to the
// writer, as the file object's method may.
int SdfSink::traverse(visitproc visit, void* arg) const noexcept {
  if (const FileTarget* file = std::get_if<FileTarget>(&target_)) Py_VISIT(file->write.get());
  if (const PathTarget* path = std::get_if<PathTarget>(&target_)) Py_VISIT(path->path.get());
  return 0;
}

}  // namespace molbrook::py
