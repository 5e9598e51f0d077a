// The block iterator and its sources. Each next() takes one block from the
// splitter, which a chunked source (a file object, an iterable of lines,
// text in memory, a descriptor; compressed ones through a decompressor)
// fills a chunk at a time, or from the queue of a mapped file or of
// positional reads, split a batch at a time without the interpreter lock.
#include "read/read.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/args.hpp"
#include "base/borrow.hpp"
#include "base/compat.hpp"
#include "core/platform/file.hpp"
#include "core/read/compression.hpp"
#include "core/read/mapped_reader.hpp"
#include "core/read/open_file.hpp"
#include "core/read/positional_reader.hpp"
#include "core/read/splitter.hpp"
#include "read/decompressor.hpp"
#include "base/entry.hpp"
#include "base/errors.hpp"
#include "base/gil.hpp"
#include "read/opened.hpp"
#include "base/paths.hpp"
#include "block/sdblock.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

namespace {

// Every chunked source reads this much per step...
constexpr size_t kChunkSize = 131072;
// ...but a compressed file 1 MiB: the decompressor takes views of its
// chunks, and fewer, larger reads cost less.
constexpr size_t kCompressedChunk = size_t{1} << 20;

// File offsets: the blocks whose first byte lies in [start, end).
struct ByteRange {
  size_t start = 0;
  size_t end = 0;
};

// A path the first next() opens: the whole file, or a range of it.
struct PathSource {
  PathArgument path;
  bool borrow;
  std::optional<ByteRange> range;
};

// An iterable of lines, through its iterator.
struct LinesSource {
  Ref iterator;
};

// The first bytes of a stream that cannot be opened again (a pipe, a
// device, a file object), held back only while they cannot tell whether
// it is compressed; a compressed stream goes through a decompressor from
// then on.
struct StreamStart {
  std::string head;
  bool decided = false;
  std::optional<Decompressor> decompressor;
};

// A file object, through its bound read1 (or read) method.
struct FileSource {
  Ref object;  // for the note on a decompression error
  Ref read;
  StreamStart start;
  // Binary data read as a str path's file is: decompressed when it starts
  // compressed, line endings translated, str blocks.
  bool as_text = false;
  bool pending_cr = false;
  size_t chunk_size = kChunkSize;  // asked of each read
};

// str or bytes held in memory, consumed a window at a time.
struct BufferSource {
  Ref object;
  std::string_view bytes;  // the object's bytes (a str's UTF-8), alive with it
  size_t position = 0;
  bool pending_cr = false;
};

// A descriptor read in chunks: a pipe or device, a compressed file, or a
// file that is not mapped.
struct FdSource {
  platform::File descriptor;
  Ref path;  // as os.fspath gave it, for OSError and decompression errors
  // A regular file is read at offsets: telling its format read its first
  // bytes, which moves the file position on some systems.
  std::optional<uint64_t> offset;
  bool pending_cr = false;
  StreamStart start;
};

// A range of a regular file that is not mapped, or of data that a
// Python callable reads at offsets (read_at(offset, size) -> bytes).
struct PositionalSource {
  PositionalReader reader;
  Ref path;  // for OSError
  Ref read_at;  // set for data read through Python, under the interpreter lock
};

// Exhausted, closed or failed: next() ends the iteration.
struct DoneSource {};

using Source = std::variant<DoneSource, PathSource, LinesSource, FileSource, BufferSource, FdSource, MappedReader,
                            PositionalSource>;

// The state of a block iterator.
struct PySDBlockIterator {
  PySDBlockIterator(PyTypeObject* block_type, Source source, std::optional<Kind> kind, bool utf8_valid)
      : block_type(Ref::borrow(type_object(block_type))),
        source(std::move(source)),
        kind(kind),
        utf8_valid(utf8_valid) {}

  int traverse(visitproc visit, void* arg) const noexcept;
  void clear() noexcept;

  BorrowState borrow{"block iterator"};
  Ref block_type;  // its module's SDBlock, held rather than looked up for every block
  Source source;
  BlockSplitter splitter;  // fed by the chunked sources
  // The kind of the blocks it yields: known from the start for paths and
  // text in memory, fixed by the first data of a file object or an
  // iterable of lines (a stream that never gave any counts as str).
  std::optional<Kind> kind;
  bool utf8_valid;  // copied into every block: the data came from Python objects
};

// Data taken from a Python object, and the kind it gives the stream.
struct Chunk {
  std::string_view bytes;  // alive as long as the object
  Kind kind;
};

// The bytes of a str (its UTF-8) or bytes object, subclasses included;
// TypeError `wrong_type` for any other object.
std::optional<Chunk> chunk_of(PyObject* object, const char* wrong_type) noexcept {
  if (PyBytes_Check(object)) {
    return Chunk{{PyBytes_AS_STRING(object), to_size(PyBytes_GET_SIZE(object))}, Kind::Bytes};
  }
  if (!PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, wrong_type);
    return std::nullopt;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return std::nullopt;
  return Chunk{{utf8, to_size(size)}, Kind::Str};
}

// A file object's read1, or its read when it has none: 1 and the method,
// 0 when it has neither, -1 when a lookup raised anything but
// AttributeError.
int read_method(PyObject* object, Ref& method) noexcept {
  for (const char* name : {"read1", "read"}) {
    int found = lookup_optional_attr(object, name, method);
    if (found != 0) return found;
  }
  return 0;
}

// Fixes the stream's kind from its first data; TypeError `mixed` for data
// of the other kind.
bool agree_kind(std::optional<Kind>& stream, Kind data, const char* mixed) noexcept {
  if (!stream) stream = data;
  if (stream == data) return true;
  PyErr_SetString(PyExc_TypeError, mixed);
  return false;
}

std::string_view bytes_of(PyObject* bytes) noexcept {
  return {PyBytes_AS_STRING(bytes), to_size(PyBytes_GET_SIZE(bytes))};
}

// Appends stream bytes, translated like a file opened in text mode when
// `translate` is set.
void append_stream_bytes(BlockSplitter& splitter, std::string_view bytes, bool translate, bool& pending_cr) {
  if (translate) {
    splitter.append_translated(bytes, pending_cr);
  } else {
    splitter.append(bytes);
  }
}

// Decompresses until there is output or the stream ends, `read_raw`
// giving the next compressed chunk as bytes (empty at the end; null on
// error). A decompression error gets a note naming `source`.
template <class ReadRaw>
bool read_decompressed(Decompressor& decompressor, ReadRaw&& read_raw, BlockSplitter& splitter, bool translate,
                       bool& pending_cr, PyObject* source) {
  for (;;) {
    Ref output;
    switch (decompressor.step(output)) {
      case Decompressor::Status::Output:
        if (PyBytes_GET_SIZE(output.get()) == 0) continue;
        append_stream_bytes(splitter, bytes_of(output.get()), translate, pending_cr);
        return true;
      case Decompressor::Status::NeedInput:
        if (Ref raw = read_raw(); !raw || !decompressor.give(std::move(raw))) return false;
        continue;
      case Decompressor::Status::Finished:
        splitter.set_eof();
        return true;
      case Decompressor::Status::Failed:
        note_decompressing(source);
        return false;
    }
  }
}

// Takes raw bytes of a stream whose format is not known yet: held back
// while they are a proper prefix of some format's magic number (no such
// prefix holds a complete block), then passed on as they are or handed to
// the format's decompressor.
bool take_stream_start(StreamStart& start, std::string_view bytes, bool eof, BlockSplitter& splitter, bool translate,
                       bool& pending_cr) {
  start.head.append(bytes);
  std::optional<Compression> format = compression_of_start(start.head);
  if (!format && !eof) return true;
  start.decided = true;
  std::string head = std::exchange(start.head, {});
  if (format.value_or(Compression::None) == Compression::None) {
    append_stream_bytes(splitter, head, translate, pending_cr);
    if (eof) splitter.set_eof();
    return true;
  }
  start.decompressor = Decompressor::open(*format);
  if (!start.decompressor) return false;
  Ref compressed = Ref::steal(PyBytes_FromStringAndSize(head.data(), to_py_size(head.size())));
  if (!compressed || !start.decompressor->give(std::move(compressed))) return false;
  return !eof || start.decompressor->give(Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)));
}

// One read of a file object: str or bytes of the stream's kind, whose
// bytes (a str's UTF-8) `bytes` views.
Ref read_chunk(FileSource& file, std::optional<Kind>& kind, std::string_view& bytes) {
  // Made per read, not kept: an object kept for the process would be
  // shared by every interpreter.
  Ref size = Ref::steal(PyLong_FromSize_t(file.chunk_size));
  if (!size) return {};
  Ref data = Ref::steal(PyObject_CallOneArg(file.read.get(), size.get()));
  if (!data) return {};
  std::optional<Chunk> chunk = chunk_of(data.get(), "file objects must read str or bytes");
  if (!chunk) return {};
  if (file.as_text && chunk->kind != Kind::Bytes) {
    PyErr_SetString(PyExc_TypeError, "binary file objects must read bytes");
    return {};
  }
  if (!file.as_text && !chunk->bytes.empty() &&
      !agree_kind(kind, chunk->kind, "file objects must not mix str and bytes reads")) {
    return {};
  }
  bytes = chunk->bytes;
  return data;
}

// One read per call (more for a compressed stream, until it gives
// output): a file object's result is appended as it is (a text file
// object has applied its own newline mode), bytes decompressed when they
// start with a compression format's magic number.
bool read_file(FileSource& file, BlockSplitter& splitter, std::optional<Kind>& kind) {
  if (file.start.decompressor) {
    auto read_raw = [&file, &kind]() -> Ref {
      std::string_view bytes;
      Ref data = read_chunk(file, kind, bytes);
      // An empty str ends the input like empty bytes.
      if (data && !PyBytes_Check(data.get())) data = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
      return data;
    };
    return read_decompressed(*file.start.decompressor, read_raw, splitter, file.as_text, file.pending_cr,
                             file.object.get());
  }
  std::string_view bytes;
  Ref data = read_chunk(file, kind, bytes);
  if (!data) return false;
  const bool eof = bytes.empty();
  if (kind == Kind::Str && !file.as_text) file.start.decided = true;  // text is never compressed
  if (!file.start.decided) {
    return take_stream_start(file.start, bytes, eof, splitter, file.as_text, file.pending_cr);
  }
  if (eof) {
    splitter.set_eof();
  } else {
    append_stream_bytes(splitter, bytes, file.as_text, file.pending_cr);
  }
  return true;
}

// What completes an item of an iterable as a line: an empty item is an
// empty line and a final CR gets one LF; `ending` is the line ending of
// the first item of the read.
std::string_view line_completion(std::string_view item, std::string_view ending) noexcept {
  if (item.empty()) return ending;
  if (item.back() == '\n') return {};
  return item.back() == '\r' ? kLF : ending;
}

// Appends items up to and including the next one that starts with a $$$$
// line, so line-by-line input is consumed only up to each block's end.
bool read_lines(LinesSource& lines, BlockSplitter& splitter, std::optional<Kind>& kind) {
  std::optional<std::string_view> ending;
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(lines.iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return false;
      splitter.set_eof();
      return true;
    }
    std::optional<Chunk> line = chunk_of(item.get(), "SDBlock.from_lines lines must be str or bytes");
    if (!line || !agree_kind(kind, line->kind, "SDBlock.from_lines does not accept mixed str and bytes lines")) {
      return false;
    }
    if (!ending) ending = first_line_ending(line->bytes);
    splitter.append(line->bytes);
    splitter.append(line_completion(line->bytes, *ending));
    if (line->bytes.starts_with(kDollars)) return true;
  }
}

// Text in memory reads like a file opened in text mode: CRLF and lone CR
// become LF, also across windows.
bool read_buffer(BufferSource& buffer, BlockSplitter& splitter, std::optional<Kind> kind) {
  std::string_view window = buffer.bytes.substr(buffer.position, kChunkSize);
  buffer.position += window.size();
  if (kind == Kind::Str) {
    splitter.append_translated(window, buffer.pending_cr);
  } else {
    splitter.append(window);
  }
  if (buffer.position == buffer.bytes.size()) splitter.set_eof();
  return true;
}

// One read(2) of up to `size` bytes into `at` without the interpreter
// lock; OSError naming the path on failure.
std::optional<size_t> read_released(FdSource& file, char* at, size_t size) {
  Result<size_t, platform::SystemError> count = size_t{0};
  bool uninterrupted = call_released([&] {
    count = file.offset ? platform::read_at(file.descriptor, *file.offset, at, size)
                        : platform::read_some(file.descriptor, at, size);
    return count ? 0 : count.error().code;
  });
  if (!uninterrupted) return std::nullopt;
  if (!count) {
    raise_os_error(count.error().code, file.path.get());
    return std::nullopt;
  }
  if (file.offset) *file.offset += *count;
  return *count;
}

// The next chunk of compressed bytes, empty at the end.
Ref read_compressed_chunk(FdSource& file) {
  Ref chunk = Ref::steal(PyBytes_FromStringAndSize(nullptr, to_py_size(kCompressedChunk)));
  if (!chunk) return {};
  // The new object is this thread's alone: written without the lock.
  std::optional<size_t> count = read_released(file, PyBytes_AS_STRING(chunk.get()), kCompressedChunk);
  if (!count) return {};
  if (*count == kCompressedChunk) return chunk;
  // A short read (a pipe's, the file's end) shrinks the chunk in place.
  PyObject* shrunk = chunk.release();
  if (_PyBytes_Resize(&shrunk, to_py_size(*count)) < 0) return {};
  return Ref::steal(shrunk);
}

// One read (more for a compressed stream, until it gives output); a str
// path's text is translated like a file opened in text mode.
bool read_descriptor(FdSource& file, BlockSplitter& splitter, std::optional<Kind> kind) {
  const bool translate = kind == Kind::Str;
  if (file.start.decompressor) {
    return read_decompressed(*file.start.decompressor, [&file] { return read_compressed_chunk(file); }, splitter,
                             translate, file.pending_cr, file.path.get());
  }
  if (!file.start.decided) {
    std::string raw(kChunkSize, '\0');
    std::optional<size_t> count = read_released(file, raw.data(), raw.size());
    return count && take_stream_start(file.start, std::string_view(raw).substr(0, *count), *count == 0, splitter,
                                      translate, file.pending_cr);
  }
  std::optional<size_t> count = read_released(file, splitter.prepare(kChunkSize), kChunkSize);
  if (!count) return false;
  if (*count == 0) {
    splitter.set_eof();
  } else if (translate) {
    splitter.commit_translated(*count, file.pending_cr);
  } else {
    splitter.commit(*count);
  }
  return true;
}

// Appends the next chunk of a chunked source to the splitter.
bool read_more(PySDBlockIterator* self, BlockSplitter& splitter) {
  Source& source = self->source;
  if (auto* lines = std::get_if<LinesSource>(&source)) return read_lines(*lines, splitter, self->kind);
  if (auto* file = std::get_if<FileSource>(&source)) return read_file(*file, splitter, self->kind);
  if (auto* buffer = std::get_if<BufferSource>(&source)) return read_buffer(*buffer, splitter, self->kind);
  if (auto* fd = std::get_if<FdSource>(&source)) return read_descriptor(*fd, splitter, self->kind);
  PyErr_SetString(PyExc_SystemError,
                  "internal error: entered unreachable code: PySDBlockIterator opens paths and splits mapped files");
  return false;
}

// A range needs a plain regular file: mapped, or read at offsets.
bool open_range(PySDBlockIterator* self, PathSource& source, OpenedFile& opened) {
  PyObject* path = source.path.path.get();
  if (opened.compression != Compression::None) {
    PyErr_Format(PyExc_ValueError, "parse_sdf_range cannot read a byte range of %R: it is %s-compressed", path,
                 compression_name(opened.compression));
    return false;
  }
  if (!opened.seekable) {
    PyErr_Format(PyExc_ValueError, "parse_sdf_range cannot read a byte range of %R: it is not a regular file",
                 path);
    return false;
  }
  const Kind kind = source.path.kind();
  const ByteRange range = *source.range;
  if (opened.mapping) {
    self->source.emplace<MappedReader>(std::move(opened.mapping), kind, source.borrow, range.start, range.end);
  } else {
    PositionalSource positional{PositionalReader(std::move(opened.file), kind, range.start, range.end),
                                std::move(source.path.path), {}};
    self->source = std::move(positional);
  }
  return true;
}

// Opens the path without the interpreter lock: a mapped file, a range,
// or a descriptor to read in chunks.
bool open_path(PySDBlockIterator* self, PathSource& source) {
  OpenedFile opened;
  if (!open_released(source.path, opened)) return false;
  if (source.range) return open_range(self, source, opened);
  if (opened.mapping) {
    self->source.emplace<MappedReader>(std::move(opened.mapping), source.path.kind(), source.borrow);
    return true;
  }
  FdSource fd{std::move(opened.file), std::move(source.path.path), std::nullopt, false, {}};
  // A regular file's first bytes were told already; a pipe's are not
  // known until they are read.
  if (opened.seekable) fd.offset = 0;
  fd.start.decided = opened.seekable;
  if (opened.compression != Compression::None) {
    fd.start.decompressor = Decompressor::open(opened.compression);
    if (!fd.start.decompressor) return false;
  }
  self->source = std::move(fd);
  return true;
}

// A queued block is taken with the lock held: releasing it for every
// block would hand it to other threads each time.
void next_mapped(MappedReader& reader, std::optional<Block>& block) {
  if (reader.has_block()) {
    block = reader.pop();
    return;
  }
  take_mapped(reader, [&block](Block& taken) {
    block = std::move(taken);
    return false;
  });
}

bool next_positional(PositionalSource& source, std::optional<Block>& block) {
  PositionalReader& reader = source.reader;
  if (!reader.has_block()) {
    Status<platform::SystemError> failed;
    if (source.read_at) {
      failed = reader.next_batch();
    } else {
      ReleasedGil unlocked;
      failed = reader.next_batch();
    }
    // read_at raised, perhaps with blocks cut before: the error comes first.
    if (source.read_at && PyErr_Occurred()) return false;
    if (failed) {
      raise_os_error(failed->code, source.path.get());
      return false;
    }
  }
  if (reader.has_block()) block = reader.pop();
  return true;
}

// Moves on by one block: `block` is set, or left empty at end of input.
// false with an exception set on any error.
bool advance(PySDBlockIterator* self, std::optional<Block>& block) noexcept {
  try {
    if (std::holds_alternative<DoneSource>(self->source)) return true;
    if (auto* path = std::get_if<PathSource>(&self->source); path && !open_path(self, *path)) return false;
    if (auto* mapped = std::get_if<MappedReader>(&self->source)) {
      next_mapped(*mapped, block);
      return true;
    }
    if (auto* positional = std::get_if<PositionalSource>(&self->source)) return next_positional(*positional, block);
    return self->splitter.next_block([self](BlockSplitter& splitter) { return read_more(self, splitter); },
                                     block);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

// Drops the source, closing a descriptor the iterator opened, and the
// splitter's buffer; from then on next() ends the iteration.
void finish(PySDBlockIterator* self) noexcept {
  self->splitter.reset();
  // Releasing the caller's objects may run Python code, which must find
  // the iterator finished already.
  Source released = std::exchange(self->source, DoneSource{});
}

PyObject* new_iterator(const ModuleState& state, Source source, std::optional<Kind> kind, bool utf8_valid) noexcept {
  return new_object<PySDBlockIterator>(state.block_iterator, state.sdblock, std::move(source), kind, utf8_valid);
}

PyObject* iterator_next(PySDBlockIterator* self) noexcept {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  std::optional<Block> block;
  PyObject* result = nullptr;
  if (advance(self, block) && block) {
    result = wrap_block(as_type(self->block_type.get()), std::move(*block), self->kind.value_or(Kind::Str),
                        self->utf8_valid);
  }
  // End of input and every error finish the iterator.
  if (result == nullptr) finish(self);
  return result;
}

PyObject* iterator_close(PySDBlockIterator* self) noexcept {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  finish(self);
  Py_RETURN_NONE;
}

// Every object a source holds can lead back to the iterator: a file
// object's method and an iterable's iterator, but also a str or bytes
// subclass with attributes, as text in memory or as a path.
struct SourceTraversal {
  visitproc visit;
  void* arg;

  int operator()(const DoneSource&) const noexcept { return 0; }
  int operator()(const MappedReader&) const noexcept { return 0; }
  int operator()(const PathSource& source) const noexcept {
    Py_VISIT(source.path.path.get());
    Py_VISIT(source.path.encoded.get());
    return 0;
  }
  int operator()(const LinesSource& source) const noexcept {
    Py_VISIT(source.iterator.get());
    return 0;
  }
  int operator()(const FileSource& source) const noexcept {
    Py_VISIT(source.object.get());
    Py_VISIT(source.read.get());
    return source.start.decompressor ? source.start.decompressor->traverse(visit, arg) : 0;
  }
  int operator()(const BufferSource& source) const noexcept {
    Py_VISIT(source.object.get());
    return 0;
  }
  int operator()(const FdSource& source) const noexcept {
    Py_VISIT(source.path.get());
    return source.start.decompressor ? source.start.decompressor->traverse(visit, arg) : 0;
  }
  int operator()(const PositionalSource& source) const noexcept {
    Py_VISIT(source.path.get());
    Py_VISIT(source.read_at.get());
    return 0;
  }
};

int PySDBlockIterator::traverse(visitproc visit, void* arg) const noexcept {
  Py_VISIT(block_type.get());
  return std::visit(SourceTraversal{visit, arg}, source);
}

// The block class stays, for a next() after the clear: a cycle through it
// runs through its module too, whose clear breaks it.
void PySDBlockIterator::clear() noexcept { finish(this); }

PyMethodDef iterator_methods[] = {
    method<iterator_close>("close",
                           "close($self, /)\n--\n\n"
                           "Stop iterating and release the input source, closing files that\n"
                           "`parse_sdf` opened.\n\n"
                           "Examples\n"
                           "--------\n"
                           ">>> import molbrook\n"
                           ">>> blocks = molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\")\n"
                           ">>> next(blocks).title\n"
                           "'ethanol'\n"
                           ">>> blocks.close()\n"
                           ">>> list(blocks)\n"
                           "[]\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* parse_sdf(const ModuleState& state, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static const char* const keywords[] = {"source", "borrow", nullptr};
  PyObject* source;
  PyObject* borrow_flag = Py_False;
  if (!parse_fastcall(args, nargs, kwnames, "O|$O:parse_sdf", keywords, &source, &borrow_flag)) return nullptr;
  bool borrow;
  if (!bool_argument(borrow_flag, "parse_sdf", "borrow", borrow)) return nullptr;

  int path_like = is_path_like(source);
  if (path_like < 0) return nullptr;
  if (path_like) {
    PathArgument path;
    if (!convert_path(source, path)) return nullptr;
    Kind kind = path.kind();
    return new_iterator(state, PathSource{std::move(path), borrow, std::nullopt}, kind, /*utf8_valid=*/false);
  }
  Ref read;
  int has_read = read_method(source, read);
  if (has_read < 0) return nullptr;
  if (has_read) return new_iterator(state, FileSource{Ref::borrow(source), std::move(read), {}}, std::nullopt, true);
  Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(source)));
  if (type_name) PyErr_Format(PyExc_TypeError, "parse_sdf takes a path or a file object, not %U", type_name.get());
  return nullptr;
}

// A byte offset argument; ValueError for a negative one.
bool offset_argument(Py_ssize_t value, const char* name, size_t& offset) noexcept {
  if (value < 0) {
    PyErr_Format(PyExc_ValueError, "parse_sdf_range %s must not be negative, not %zd", name, value);
    return false;
  }
  offset = to_size(value);
  return true;
}

PyObject* parse_sdf_range(const ModuleState& state, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static const char* const keywords[] = {"path", "start", "end", "borrow", nullptr};
  PyObject* source;
  Py_ssize_t start_value;
  Py_ssize_t end_value;
  PyObject* borrow_flag = Py_False;
  if (!parse_fastcall(args, nargs, kwnames, "Onn|$O:parse_sdf_range", keywords, &source, &start_value, &end_value,
                      &borrow_flag)) {
    return nullptr;
  }
  bool borrow;
  ByteRange range;
  if (!bool_argument(borrow_flag, "parse_sdf_range", "borrow", borrow) ||
      !offset_argument(start_value, "start", range.start) || !offset_argument(end_value, "end", range.end)) {
    return nullptr;
  }
  if (range.start > range.end) {
    PyErr_Format(PyExc_ValueError, "parse_sdf_range start (%zd) must not lie past end (%zd)", start_value,
                 end_value);
    return nullptr;
  }
  int path_like = is_path_like(source);
  if (path_like < 0) return nullptr;
  if (path_like == 0) {
    PyErr_Format(PyExc_TypeError, "parse_sdf_range takes a path, not %.200s", Py_TYPE(source)->tp_name);
    return nullptr;
  }
  PathArgument path;
  if (!convert_path(source, path)) return nullptr;
  Kind kind = path.kind();
  return new_iterator(state, PathSource{std::move(path), borrow, range}, kind, /*utf8_valid=*/false);
}

// Reads through `read_at(offset, size)`, a Python callable returning at
// most `size` bytes (fewer only at the end of the data), called with the
// interpreter lock held; a failure leaves its exception set.
PositionalReader::ReadAt python_read_at(PyObject* read_at) {
  return [read_at](uint64_t offset, char* buffer, size_t size) -> Result<size_t, platform::SystemError> {
    Ref data = Ref::steal(PyObject_CallFunction(read_at, "KK", static_cast<unsigned long long>(offset),
                                                static_cast<unsigned long long>(size)));
    if (data && (!PyBytes_Check(data.get()) || to_size(PyBytes_GET_SIZE(data.get())) > size)) {
      PyErr_SetString(PyExc_TypeError, "read_at must return bytes, no more than it was asked for");
      data = Ref();
    }
    if (!data) return platform::SystemError{EIO};
    std::string_view bytes = bytes_of(data.get());
    std::copy(bytes.begin(), bytes.end(), buffer);
    return bytes.size();
  };
}

// The read method of the binary file object given to `function`; null
// with TypeError when it has none.
Ref binary_read_method(PyObject* file, const char* function) noexcept {
  Ref read;
  const int has_read = read_method(file, read);
  if (has_read == 0) PyErr_Format(PyExc_TypeError, "%s takes a binary file object", function);
  return has_read > 0 ? std::move(read) : Ref();
}

PyObject* parse_text_stream(const ModuleState& state, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static const char* const keywords[] = {"file", nullptr};
  PyObject* file;
  if (!parse_fastcall(args, nargs, kwnames, "O:_parse_text_stream", keywords, &file)) return nullptr;
  Ref read = binary_read_method(file, "_parse_text_stream");
  if (!read) return nullptr;
  FileSource source{Ref::borrow(file), std::move(read), {}, true, false};
  return new_iterator(state, std::move(source), Kind::Str, /*utf8_valid=*/false);
}

PyObject* parse_decompressed(const ModuleState& state, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  static const char* const keywords[] = {"file", "text", nullptr};
  PyObject* file;
  int text;
  if (!parse_fastcall(args, nargs, kwnames, "O$p:_parse_decompressed", keywords, &file, &text)) return nullptr;
  Ref read = binary_read_method(file, "_parse_decompressed");
  if (!read) return nullptr;
  // Its bytes are a decompressor's output, in pieces of up to a compressed
  // file's chunk: never told a format again, read a piece at a time.
  FileSource source{Ref::borrow(file), std::move(read), {}, static_cast<bool>(text), false, kCompressedChunk};
  source.start.decided = true;
  return new_iterator(state, std::move(source), text ? Kind::Str : Kind::Bytes, /*utf8_valid=*/false);
}

PyObject* parse_range_at(const ModuleState& state, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static const char* const keywords[] = {"read_at", "name", "start", "end", nullptr};
  PyObject *read_at, *name;
  Py_ssize_t start, end;
  if (!parse_fastcall(args, nargs, kwnames, "O$Onn:_parse_range_at", keywords, &read_at, &name, &start, &end)) {
    return nullptr;
  }
  ByteRange range;
  if (!offset_argument(start, "start", range.start) || !offset_argument(end, "end", range.end)) return nullptr;
  try {
    PositionalSource source{PositionalReader(python_read_at(read_at), Kind::Str, range.start, range.end),
                            Ref::borrow(name), Ref::borrow(read_at)};
    return new_iterator(state, std::move(source), Kind::Str, /*utf8_valid=*/false);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace

PyTypeObject* new_block_iterator_type(PyObject* module) noexcept {
  return new_type<PySDBlockIterator>(
      module, "molbrook.native._SDBlockIterator", Py_TPFLAGS_DISALLOW_INSTANTIATION,
      PyType_Slot{Py_tp_doc, const_cast<char*>("Lazily parse SDBlocks from an input source.")},
      slot<PyObject_SelfIter>(Py_tp_iter), slot<iterator_next>(Py_tp_iternext),
      PyType_Slot{Py_tp_methods, iterator_methods});
}

PyObject* block_from_sdf(PyObject* cls, PyObject* sdf) noexcept {
  std::optional<Chunk> text = chunk_of(sdf, "SDBlock.from_sdf argument must be str or bytes");
  if (!text) return nullptr;
  return new_iterator(module_state_of_type(as_type(cls)), BufferSource{Ref::borrow(sdf), text->bytes}, text->kind,
                      true);
}

PyObject* block_from_lines(PyObject* cls, PyObject* lines) noexcept {
  if (PyUnicode_Check(lines) || PyBytes_Check(lines)) {
    PyErr_SetString(PyExc_TypeError,
                    "SDBlock.from_lines takes lines or a file object; use SDBlock.from_sdf to parse SDF str or bytes");
    return nullptr;
  }
  Ref read;
  int has_read = read_method(lines, read);
  if (has_read < 0) return nullptr;
  const ModuleState& state = module_state_of_type(as_type(cls));
  if (has_read) return new_iterator(state, FileSource{Ref::borrow(lines), std::move(read), {}}, std::nullopt, true);
  Ref iterator = Ref::steal(PyObject_GetIter(lines));
  if (!iterator) return nullptr;
  return new_iterator(state, LinesSource{std::move(iterator)}, std::nullopt, true);
}

bool find_mapped_source(const ModuleState& state, PyObject* object, MappedSource& found) noexcept {
  found = MappedSource{};
  if (Py_TYPE(object) != state.block_iterator) return true;
  PySDBlockIterator* self = state_of<PySDBlockIterator>(object);
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return false;
  try {
    if (auto* path = std::get_if<PathSource>(&self->source); path && !open_path(self, *path)) {
      finish(self);
      return false;
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  found.kind = self->kind;
  if (auto* mapped = std::get_if<MappedReader>(&self->source)) {
    found.borrow = &self->borrow;
    found.reader = mapped;
  }
  return true;
}

const char kFromSdfDoc[] =
    "from_sdf($cls, sdf, /)\n--\n\n"
    "Lazily parse SDBlocks from SDF str or bytes held in memory.\n\n"
    "Parameters\n"
    "----------\n"
    "sdf : str or bytes\n"
    "    The text of any number of blocks; str gives SDBlock[str] blocks,\n"
    "    bytes SDBlock[bytes] blocks.\n\n"
    "Returns\n"
    "-------\n"
    "Iterator[SDBlock]\n"
    "    The blocks, one at a time.\n\n"
    "Examples\n"
    "--------\n"
    ">>> from molbrook import SDBlock\n"
    ">>> text = open(\"python/molbrook/data/sample.sdf\").read()\n"
    ">>> [block.title for block in SDBlock.from_sdf(text)][:2]\n"
    "['ethanol', 'acetic acid']\n";

const char kFromLinesDoc[] =
    "from_lines($cls, lines, /)\n--\n\n"
    "Parse SDBlocks from homogeneous str or bytes lines or a file object.\n\n"
    "Parameters\n"
    "----------\n"
    "lines : Iterable[str] or Iterable[bytes]\n"
    "    Lines with their line endings, all str or all bytes: a list, a\n"
    "    generator, or a file object opened in text or binary mode.\n\n"
    "Returns\n"
    "-------\n"
    "Iterator[SDBlock]\n"
    "    The blocks, of the lines' type.\n\n"
    "Examples\n"
    "--------\n"
    ">>> from molbrook import SDBlock\n"
    ">>> with open(\"python/molbrook/data/sample.sdf\", \"rb\") as file:\n"
    "...     titles = [block.title for block in SDBlock.from_lines(file)]\n"
    ">>> titles[-1]\n"
    "b'acetonitrile'\n";

PyMethodDef parse_sdf_def = function<parse_sdf>(
    "parse_sdf",
    "parse_sdf(source, *, borrow=False)\n--\n\n"
    "Lazily parse the SDBlocks of an SD file, one block at a time.\n\n"
    "The file is read in bounded memory whatever its size: a regular file on\n"
    "a local filesystem is mapped, anything else read in chunks. Content that\n"
    "starts with gzip, bzip2 or xz magic bytes (zstd too, where a zstd module\n"
    "can be imported) is decompressed as it is read, whatever the file is\n"
    "called.\n\n"
    "Parameters\n"
    "----------\n"
    "source : str, bytes, os.PathLike or file object\n"
    "    A str path gives str blocks, read as text (CRLF and a lone CR become\n"
    "    LF); a bytes path gives bytes blocks, kept byte for byte. A file\n"
    "    object gives str blocks when it reads str, bytes blocks when it\n"
    "    reads bytes.\n"
    "borrow : bool, default False\n"
    "    Blocks share the file's read-only mapping instead of copying their\n"
    "    bytes (for a mapped file; otherwise ignored). They stay valid while\n"
    "    any of them is alive.\n\n"
    "Returns\n"
    "-------\n"
    "Iterator[SDBlock]\n"
    "    The blocks in file order; a file is opened on the first `next()`.\n\n"
    "Raises\n"
    "------\n"
    "OSError\n"
    "    The file cannot be opened or read.\n"
    "EOFError\n"
    "    Compressed input ends inside its compressed data (the blocks read\n"
    "    before stay valid; no block cut short is given).\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> [block.title for block in molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\")][:2]\n"
    "['ethanol', 'acetic acid']\n"
    ">>> next(molbrook.parse_sdf(b\"python/molbrook/data/sample.sdf\")).title\n"
    "b'ethanol'\n");

PyMethodDef parse_text_stream_def = function<parse_text_stream>(
    "_parse_text_stream",
    "_parse_text_stream(file)\n--\n\n"
    "The str blocks of a binary file object's data, read as parse_sdf reads a\n"
    "str path: decompressed when it starts compressed, line endings translated.");

PyMethodDef parse_decompressed_def = function<parse_decompressed>(
    "_parse_decompressed",
    "_parse_decompressed(file, *, text)\n--\n\n"
    "The blocks of a binary file object's decompressed data, read as parse_sdf\n"
    "reads a path's once decompressed: str blocks, line endings translated,\n"
    "when `text` (a str path), bytes blocks byte for byte otherwise.");

PyMethodDef parse_range_at_def = function<parse_range_at>(
    "_parse_range_at",
    "_parse_range_at(read_at, *, name, start, end)\n--\n\n"
    "The str blocks whose first byte lies in [start, end) of plain data that\n"
    "read_at(offset, size) -> bytes reads, as parse_sdf_range reads a str path;\n"
    "`name` names the data in errors.");

PyMethodDef parse_sdf_range_def = function<parse_sdf_range>(
    "parse_sdf_range",
    "parse_sdf_range(path, start, end, *, borrow=False)\n--\n\n"
    "Lazily parse the SDBlocks of an SD file whose first byte lies in a range.\n\n"
    "The blocks are those `parse_sdf(path, borrow=borrow)` gives whose first\n"
    "byte lies at a file offset in [start, end). Ranges cut at any offsets\n"
    "give every block once, so threads or processes can share a large file.\n\n"
    "Parameters\n"
    "----------\n"
    "path : str, bytes or os.PathLike\n"
    "    A plain (uncompressed) regular file; str or bytes blocks as with\n"
    "    `parse_sdf`.\n"
    "start, end : int\n"
    "    The byte range, 0 <= start <= end; an end past the file's size\n"
    "    reads to its end.\n"
    "borrow : bool, default False\n"
    "    As for `parse_sdf`.\n\n"
    "Returns\n"
    "-------\n"
    "Iterator[SDBlock]\n"
    "    The blocks starting in the range, in file order.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    start lies past end, or either is negative.\n"
    "TypeError\n"
    "    path is a file object, not a path.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import os, molbrook\n"
    ">>> path = \"python/molbrook/data/sample.sdf\"\n"
    ">>> half = os.path.getsize(path) // 2\n"
    ">>> first = [b.title for b in molbrook.parse_sdf_range(path, 0, half)]\n"
    ">>> second = [b.title for b in molbrook.parse_sdf_range(path, half, 1 << 62)]\n"
    ">>> first + second == [b.title for b in molbrook.parse_sdf(path)]\n"
    "True\n");

}  // namespace molbrook::py
