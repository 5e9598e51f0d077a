// molbrook._testcore: the byte-level primitives exposed for the tests, so
// that they can be checked against reference implementations directly,
// through every scanning kernel this machine has (the portable one
// always), not only through the paths the public API happens to take.
#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "core/ctable/unicode.hpp"
#include "core/read/compression.hpp"
#include "core/read/mapped_reader.hpp"
#include "core/read/open_file.hpp"
#include "core/read/positional_reader.hpp"
#include "core/read/splitter.hpp"
#include "core/records/record.hpp"
#include "core/table/table_union.hpp"
#include "core/text/lines.hpp"
#include "core/text/newline.hpp"
#include "core/text/search.hpp"
#include "base/entry.hpp"
#include "base/gil.hpp"
#include "base/ref.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

std::string_view bytes_view(PyObject* bytes) noexcept {
  return {PyBytes_AS_STRING(bytes), to_size(PyBytes_GET_SIZE(bytes))};
}

PyObject* to_bytes(std::string_view bytes) noexcept {
  return PyBytes_FromStringAndSize(bytes.data(), to_py_size(bytes.size()));
}

// Calls body(Kernel{}) with the kernel named `name`.
template <class Body>
PyObject* with_kernel(const char* name, Body body) {
  std::string_view wanted = name;
  if (wanted == simd::Portable::name) return body(simd::Portable{});
  if (wanted == simd::Native::name) return body(simd::Native{});
  PyErr_Format(PyExc_ValueError, "unknown kernel %s", name);
  return nullptr;
}

PyObject* kernels(PyObject*, PyObject*) noexcept {
  if (std::string_view(simd::Native::name) == simd::Portable::name) return Py_BuildValue("(s)", simd::Portable::name);
  return Py_BuildValue("(ss)", simd::Portable::name, simd::Native::name);
}

PyObject* eq_mask(PyObject*, PyObject* args) {
  PyObject* data;
  int byte;
  const char* kernel;
  if (!PyArg_ParseTuple(args, "Sis", &data, &byte, &kernel)) return nullptr;
  const std::string_view bytes = bytes_view(data);
  if (bytes.size() > 64) {
    PyErr_SetString(PyExc_ValueError, "eq_mask takes at most 64 bytes");
    return nullptr;
  }
  return with_kernel(kernel, [&]<class K>(K) {
    const char target = static_cast<char>(byte);
    return PyLong_FromUnsignedLongLong(simd::eq_mask_upto<K>(bytes.data(), bytes.size(), target));
  });
}

PyObject* scan_lines(PyObject*, PyObject* args) {
  PyObject* data;
  Py_ssize_t from;
  const char* kernel;
  if (!PyArg_ParseTuple(args, "Sns", &data, &from, &kernel)) return nullptr;
  return with_kernel(kernel, [&]<class K>(K) -> PyObject* {
    Ref lines = Ref::steal(PyList_New(0));
    if (!lines) return nullptr;
    BasicLineScanner<K> scanner(bytes_view(data), static_cast<size_t>(from));
    for (Line line; scanner.next(line);) {
      Ref pair = Ref::steal(Py_BuildValue("(nn)", line.start, line.end));
      if (!pair || PyList_Append(lines.get(), pair.get()) < 0) return nullptr;
    }
    return lines.release();
  });
}

// Translates `chunks` as one stream: each chunk is appended to a growing
// buffer and translated in place there, the pending CR carried along.
PyObject* translate_stream(PyObject*, PyObject* args) {
  PyObject* chunks;
  const char* kernel;
  if (!PyArg_ParseTuple(args, "O!s", &PyList_Type, &chunks, &kernel)) return nullptr;
  return with_kernel(kernel, [&]<class K>(K) -> PyObject* {
    ByteBuffer out;
    bool pending_cr = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks); ++i) {
      PyObject* chunk = PyList_GET_ITEM(chunks, i);
      if (!PyBytes_Check(chunk)) {
        PyErr_SetString(PyExc_TypeError, "chunks must be bytes");
        return nullptr;
      }
      std::string_view bytes = bytes_view(chunk);
      out.reserve_extra(bytes.size() + kTranslateSpare);
      std::memcpy(out.data() + out.size(), bytes.data(), bytes.size());
      size_t kept = translate_chunk_with<K>(out.data() + out.size(), out.capacity() - out.size(),
                                            bytes.size(), pending_cr);
      out.set_size(out.size() + kept);
    }
    return Py_BuildValue("(NO)", to_bytes(out.view()), pending_cr ? Py_True : Py_False);
  });
}

PyObject* translate_if_needed_(PyObject*, PyObject* data) {
  if (!PyBytes_Check(data)) return PyErr_Format(PyExc_TypeError, "expected bytes");
  ByteBuffer storage;
  std::string_view result = translate_if_needed(bytes_view(data), storage);
  bool copied = result.data() != PyBytes_AS_STRING(data);
  return Py_BuildValue("(NO)", to_bytes(result), copied ? Py_True : Py_False);
}

PyObject* find_(PyObject*, PyObject* args) {
  PyObject* hay;
  PyObject* needle;
  Py_ssize_t lead;
  Py_ssize_t from;
  const char* kernel;
  if (!PyArg_ParseTuple(args, "SSnns", &hay, &needle, &lead, &from, &kernel)) return nullptr;
  if (PyBytes_GET_SIZE(needle) == 0 || lead < 0 || lead >= PyBytes_GET_SIZE(needle) || from < 0) {
    return PyErr_Format(PyExc_ValueError, "lead must index a non-empty needle and start be >= 0");
  }
  return with_kernel(kernel, [&]<class K>(K) {
    Needle wanted{bytes_view(needle), to_size(lead)};
    size_t at = find_with<K>(bytes_view(hay), wanted, to_size(from));
    return PyLong_FromSsize_t(at == npos ? -1 : to_py_size(at));
  });
}

// A kernel that counts the 64-byte masks it computes: how far a search read.
template <class Kernel>
struct Counting {
  static constexpr const char* name = Kernel::name;
  static inline size_t masks = 0;
  template <class... Bytes>
  static uint64_t eq_mask(const char* p, Bytes... bytes) noexcept {
    ++masks;
    return Kernel::eq_mask(p, bytes...);
  }
  template <class... Bytes>
  static uint64_t eq_mask_partial(const char* p, size_t size, Bytes... bytes) noexcept {
    ++masks;
    return Kernel::eq_mask_partial(p, size, bytes...);
  }
};

PyObject* find_line_break_(PyObject*, PyObject* args) {
  PyObject* hay;
  Py_ssize_t from;
  const char* kernel;
  if (!PyArg_ParseTuple(args, "Sns", &hay, &from, &kernel)) return nullptr;
  if (from < 0) return PyErr_Format(PyExc_ValueError, "start must be >= 0");
  return with_kernel(kernel, [&]<class K>(K) {
    Counting<K>::masks = 0;
    size_t at = find_line_break_with<Counting<K>>(bytes_view(hay), to_size(from));
    return Py_BuildValue("(nn)", at == npos ? Py_ssize_t{-1} : to_py_size(at), Counting<K>::masks);
  });
}

PyObject* find_last_byte_(PyObject*, PyObject* args) {
  PyObject* hay;
  int byte;
  const char* kernel;
  if (!PyArg_ParseTuple(args, "Sis", &hay, &byte, &kernel)) return nullptr;
  return with_kernel(kernel, [&]<class K>(K) {
    size_t at = find_last_byte_with<K>(bytes_view(hay), static_cast<char>(byte));
    return PyLong_FromSsize_t(at == npos ? -1 : to_py_size(at));
  });
}

PyObject* find_block_end_(PyObject*, PyObject* data) noexcept {
  if (!PyBytes_Check(data)) return PyErr_Format(PyExc_TypeError, "expected bytes");
  BlockEnd end = find_block_end(bytes_view(data));
  return Py_BuildValue("(Onnn)", end.found ? Py_True : Py_False, end.term_start, end.end, end.first_cr);
}

// Splitting

PyObject* find_block_end_str(PyObject*, PyObject* data) noexcept {
  if (!PyBytes_Check(data)) return PyErr_Format(PyExc_TypeError, "expected bytes");
  BlockEnd end = find_block_end(bytes_view(data), Kind::Str);
  return Py_BuildValue("(Onnn)", end.found ? Py_True : Py_False, end.term_start, end.end, end.first_cr);
}

// Splits a file as parse_sdf splits a mapped path: a list per batch of
// (bytes, title_end, borrowed) and, after each batch, the offset below
// which pages went back to the system. None for a file read in chunks.
PyObject* mapped_batches(PyObject*, PyObject* args) {
  const char* path;
  int as_str;
  int borrow;
  if (!PyArg_ParseTuple(args, "ypp", &path, &as_str, &borrow)) return nullptr;
  Result<OpenedFile, platform::SystemError> opened = open_for_reading(path);
  if (!opened) {
    errno = opened.error().code;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  if (!opened->mapping) Py_RETURN_NONE;
  MappedReader reader(std::move(opened->mapping), as_str != 0 ? Kind::Str : Kind::Bytes, borrow != 0);
  Ref batches = Ref::steal(PyList_New(0));
  if (!batches) return nullptr;
  for (reader.next_batch(); reader.has_block(); reader.next_batch()) {
    Ref blocks = Ref::steal(PyList_New(0));
    if (!blocks) return nullptr;
    while (reader.has_block()) {
      Block block = reader.pop();
      Ref entry = Ref::steal(Py_BuildValue("(NnO)", to_bytes(block.bytes()), block.title_end(),
                                           block.is_mapped() ? Py_True : Py_False));
      if (!entry || PyList_Append(blocks.get(), entry.get()) < 0) return nullptr;
    }
    Ref batch = Ref::steal(Py_BuildValue("(On)", blocks.get(), reader.released()));
    if (!batch || PyList_Append(batches.get(), batch.get()) < 0) return nullptr;
  }
  return batches.release();
}

// The benchmark's floor for reading records: the file mapped and its
// record headers (lines that start with ">") counted by the core's substring
// search, with nothing made of them. None for a file that is not mapped.
PyObject* count_headers(PyObject*, PyObject* args) {
  const char* path;
  if (!PyArg_ParseTuple(args, "y", &path)) return nullptr;
  Result<OpenedFile, platform::SystemError> opened = open_for_reading(path);
  if (!opened) {
    errno = opened.error().code;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  if (!opened->mapping) Py_RETURN_NONE;
  const std::string_view text = opened->mapping->bytes();
  const Needle header{"\n>", 1};
  size_t headers = 0;
  {
    ReleasedGil unlocked;
    for (size_t at = find(text, header); at != npos; at = find(text, header, at + 1)) ++headers;
  }
  return PyLong_FromSize_t(headers);
}

// Positional reads of any regular file, mapped or not: the blocks of
// [start, end) as (bytes, title_end) pairs.
PyObject* positional_blocks(PyObject*, PyObject* args) {
  const char* path;
  int as_str;
  Py_ssize_t start;
  Py_ssize_t end;
  if (!PyArg_ParseTuple(args, "ypnn", &path, &as_str, &start, &end)) return nullptr;
  Result<platform::File, platform::SystemError> file = platform::open_read_only(path);
  if (!file) {
    errno = file.error().code;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  PositionalReader reader(std::move(*file), as_str != 0 ? Kind::Str : Kind::Bytes, static_cast<size_t>(start),
                          static_cast<size_t>(end));
  Ref blocks = Ref::steal(PyList_New(0));
  if (!blocks) return nullptr;
  for (;;) {
    if (Status<platform::SystemError> failed = reader.next_batch()) {
      errno = failed->code;
      return PyErr_SetFromErrno(PyExc_OSError);
    }
    if (!reader.has_block()) return blocks.release();
    while (reader.has_block()) {
      Block block = reader.pop();
      Ref entry = Ref::steal(Py_BuildValue("(Nn)", to_bytes(block.bytes()), block.title_end()));
      if (!entry || PyList_Append(blocks.get(), entry.get()) < 0) return nullptr;
    }
  }
}

// The verdict of a stream's first bytes: (decided, format name or None).
PyObject* compression_of_start_(PyObject*, PyObject* data) noexcept {
  if (!PyBytes_Check(data)) return PyErr_Format(PyExc_TypeError, "expected bytes");
  std::optional<Compression> format = compression_of_start(bytes_view(data));
  const char* name = format ? compression_name(*format) : nullptr;
  return Py_BuildValue("(Oz)", format ? Py_True : Py_False, name);
}

// Records

PyObject* value_tuple(RecordValue value) noexcept {
  return Py_BuildValue("(nnO)", value.start, value.end, value.fold ? Py_True : Py_False);
}

// Every item of a scan: (name or None, header_start, end, value) with the
// value as (start, end, fold); None for a malformed item, whose scan goes on.
PyObject* scan_records(PyObject*, PyObject* data) {
  if (!PyBytes_Check(data)) return PyErr_Format(PyExc_TypeError, "expected bytes");
  std::string_view section = bytes_view(data);
  Ref items = Ref::steal(PyList_New(0));
  if (!items) return nullptr;
  RecordScanner scanner(section);
  ScannedRecord record;
  for (ScanStep step; (step = scanner.next(record)) != ScanStep::End;) {
    Ref item = step == ScanStep::Malformed
                   ? Ref::borrow(Py_None)
                   : Ref::steal(Py_BuildValue("(NnnN)", to_bytes(record.name(section)), record.header_start,
                                              record.end, value_tuple(record_value(section, record))));
    if (!item || PyList_Append(items.get(), item.get()) < 0) return nullptr;
  }
  return items.release();
}

// Tables

// One text column cut into `chunks` (lists of bytes or None), built into
// a table of a batch per chunk, or with `apart` into a table per chunk
// joined as tables read on several threads are: whether it exports as
// large when `limit` bytes are the most narrow offsets take.
PyObject* large_column(PyObject*, PyObject* args) {
  PyObject* chunks;
  Py_ssize_t limit;
  int apart;
  if (!PyArg_ParseTuple(args, "O!np", &PyList_Type, &chunks, &limit, &apart)) return nullptr;
  std::vector<Table> parts;
  Table whole;
  whole.schema.fields.push_back(Field{"c", ColumnType::Text});
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks); ++i) {
    PyObject* cells = PyList_GET_ITEM(chunks, i);
    if (!PyList_Check(cells)) return PyErr_Format(PyExc_TypeError, "chunks must be lists");
    auto column = std::make_shared<Column>(ColumnType::Text);
    for (Py_ssize_t row = 0; row < PyList_GET_SIZE(cells); ++row) {
      PyObject* cell = PyList_GET_ITEM(cells, row);
      if (cell == Py_None) {
        column->append_null();
      } else if (PyBytes_Check(cell)) {
        column->append_text(bytes_view(cell));
      } else {
        return PyErr_Format(PyExc_TypeError, "cells must be bytes or None");
      }
    }
    auto batch = std::make_shared<Batch>();
    batch->rows = column->length();
    batch->columns.push_back(std::move(column));
    (apart ? parts.emplace_back(Table{whole.schema, {}}) : whole).batches.push_back(std::move(batch));
  }
  if (!parts.empty()) {
    std::vector<const Table*> tables;
    tables.reserve(parts.size());
    for (const Table& part : parts) tables.push_back(&part);
    whole = *union_of(tables);
  }
  return PyBool_FromLong(whole.large_columns(static_cast<size_t>(limit))[0]);
}

// Connection tables

PyObject* utf8_error(PyObject*, PyObject* data) noexcept {
  if (!PyBytes_Check(data)) return PyErr_Format(PyExc_TypeError, "expected bytes");
  std::optional<Utf8Error> error = find_invalid_utf8(bytes_view(data));
  if (!error) Py_RETURN_NONE;
  return Py_BuildValue("(nn)", error->start, error->end);
}

PyObject* utf8_lossy(PyObject*, PyObject* data) {
  if (!PyBytes_Check(data)) return PyErr_Format(PyExc_TypeError, "expected bytes");
  std::string text;
  append_utf8_lossy(text, bytes_view(data));
  return to_bytes(text);
}

PyObject* white_space_fields(PyObject*, PyObject* data) {
  if (!PyBytes_Check(data)) return PyErr_Format(PyExc_TypeError, "expected bytes");
  std::string_view text = bytes_view(data);
  Ref pieces = Ref::steal(PyList_New(0));
  if (!pieces) return nullptr;
  WhiteSpaceFields fields(text);
  for (std::string_view piece; fields.next(piece);) {
    Ref bytes = Ref::steal(to_bytes(piece));
    if (!bytes || PyList_Append(pieces.get(), bytes.get()) < 0) return nullptr;
  }
  return Py_BuildValue("(NN)", pieces.release(), to_bytes(trim_white_space(text)));
}

PyMethodDef testcore_methods[] = {
    {"kernels", entry<kernels>, METH_NOARGS, "Names of the scanning kernels, the portable one first."},
    {"eq_mask", entry<eq_mask>, METH_VARARGS, "eq_mask(data, byte, kernel) -> int  (at most 64 bytes)"},
    {"scan_lines", entry<scan_lines>, METH_VARARGS, "scan_lines(region, start, kernel) -> [(start, end)]"},
    {"translate_stream", entry<translate_stream>, METH_VARARGS,
     "translate_stream(chunks, kernel) -> (text, pending_cr)"},
    {"translate_if_needed", entry<translate_if_needed_>, METH_O, "translate_if_needed(data) -> (text, copied)"},
    {"find", entry<find_>, METH_VARARGS, "find(hay, needle, lead, start, kernel) -> offset or -1"},
    {"find_line_break", entry<find_line_break_>, METH_VARARGS,
     "find_line_break(hay, start, kernel) -> (offset of the first CR or LF or -1, masks computed)"},
    {"find_last_byte", entry<find_last_byte_>, METH_VARARGS, "find_last_byte(hay, byte, kernel) -> offset or -1"},
    {"find_block_end", entry<find_block_end_>, METH_O,
     "find_block_end(data) -> (found, term_start, end, first_cr)"},
    // Splitting
    {"find_block_end_str", entry<find_block_end_str>, METH_O,
     "find_block_end_str(data) -> (found, term_start, end, first_cr)"},
    {"mapped_batches", entry<mapped_batches>, METH_VARARGS,
     "mapped_batches(path, as_str, borrow) -> [([(bytes, title_end, borrowed)], released)] or None"},

    {"count_headers", entry<count_headers>, METH_VARARGS,
     "count_headers(path) -> record headers of the mapped file, or None"},
    {"positional_blocks", entry<positional_blocks>, METH_VARARGS,
     "positional_blocks(path, as_str, start, end) -> [(bytes, title_end)]"},
    {"compression_of_start", entry<compression_of_start_>, METH_O,
     "compression_of_start(head) -> (decided, format name or None)"},

    // Records
    {"scan_records", entry<scan_records>, METH_O,
     "scan_records(section) -> [(name, header_start, end, (value_start, value_end, fold)) or None]"},

    // Tables
    {"large_column", entry<large_column>, METH_VARARGS, "large_column(chunks, limit, apart) -> bool"},

    // Connection tables
    {"utf8_error", entry<utf8_error>, METH_O, "utf8_error(data) -> (start, end) of the first bad sequence, or None"},
    {"utf8_lossy", entry<utf8_lossy>, METH_O, "utf8_lossy(data) -> data with bad sequences replaced by U+FFFD"},
    {"white_space_fields", entry<white_space_fields>, METH_O,
     "white_space_fields(data) -> (pieces between White_Space runs, data trimmed of White_Space)"},

    {nullptr, nullptr, 0, nullptr},
};

// Pure functions over their arguments: safe without the interpreter lock,
// which importing the module must then not turn back on.
PyModuleDef_Slot testcore_slots[] = {
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef testcore_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_testcore",
    .m_doc = "Byte-level primitives of molbrook, for its tests.",
    .m_size = 0,
    .m_methods = testcore_methods,
    .m_slots = testcore_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace molbrook::py

// The interpreter finds the module by this name.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__testcore(void) { return PyModuleDef_Init(&molbrook::py::testcore_def); }
