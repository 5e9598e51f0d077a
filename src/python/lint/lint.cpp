// The linter's scans and their arguments; lint_result.cpp makes their results.
// A scan runs without the interpreter lock over a mapped file or a buffer
// held for the call; its findings are converted in one batch afterwards.
#include "lint/lint.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "base/args.hpp"
#include "base/compat.hpp"
#include "core/lint/scanner.hpp"
#include "core/read/compression.hpp"
#include "core/read/range.hpp"
#include "base/entry.hpp"
#include "base/gil.hpp"
#include "read/opened.hpp"
#include "base/paths.hpp"
#include "lint/lint_result.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

using lint::Code;
using lint::Ending;
using lint::Finding;
using lint::ScanResult;

// What every scan takes, as keyword-only arguments. With `write`, the
// scanned blocks are written with their fixes applied.
struct ScanArguments {
  lint::LintOptions options;
  std::optional<Ending> first_ending;
  PyObject* write = nullptr;  // borrowed from the call
};

// A fixing scan writes a piece this large at a time, from one buffer that
// stays in cache, rather than building the whole output first.
constexpr size_t kWritePiece = 1 << 20;

constexpr const char* kNoEnding = "first_ending must be None, 0 (LF), 1 (CRLF) or 2 (CR)";

bool scan_arguments(unsigned select, unsigned fix, int unsafe, int edits, PyObject* write, PyObject* ending,
                    ScanArguments& arguments) noexcept {
  arguments.options = {lint::CodeSet(select), lint::CodeSet(fix), unsafe != 0, edits != 0};
  if (write != Py_None && !PyCallable_Check(write)) {
    PyErr_SetString(PyExc_TypeError, "write must be None or callable");
    return false;
  }
  arguments.write = write == Py_None ? nullptr : write;
  if (ending == Py_None) return true;
  long value = PyLong_Check(ending) ? PyLong_AsLong(ending) : -1;
  if (value < 0 || value > 2) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, kNoEnding);
    return false;
  }
  arguments.first_ending = static_cast<Ending>(value);
  return true;
}

// The _LintScan of a scan whose text starts `offset` bytes into its file.
PyObject* result_of(size_t offset, const ScanResult& result, const ScanArguments& arguments) noexcept {
  return lint_scan(offset, result, arguments.options.edits, arguments.write != nullptr);
}

// Passes `bytes` to write() as a memoryview, released afterwards: a writer
// that kept it would find it closed rather than changed. The release runs
// with no exception pending; write()'s error (a full disk) is the one
// raised.
bool write_out(PyObject* write, const ByteBuffer& bytes) noexcept {
  if (bytes.empty()) return true;
  Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(bytes.data()),
                                                to_py_size(bytes.size()), PyBUF_READ));
  if (!view) return false;
  Ref written = Ref::steal(PyObject_CallOneArg(write, view.get()));
  Ref error = written ? Ref() : take_exception();
  Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
  if (!error) return static_cast<bool>(released);
  if (!released) PyErr_Clear();
  restore_exception(std::move(error));
  return false;
}

// Adds a piece's result to the whole's; the piece started `at` bytes in.
void merge_piece(ScanResult& whole, ScanResult&& piece, size_t at) {
  for (Finding& finding : piece.findings) {
    finding.offset += at;
    finding.block += whole.blocks;
    finding.line += whole.lines;
    finding.related_line += whole.lines;
    whole.findings.push_back(finding);
  }
  for (size_t code = 0; code < lint::kCodeCount; ++code) {
    whole.fixed[code] += piece.fixed[code];
    whole.unfixed[code] += piece.unfixed[code];
  }
  whole.consumed += piece.consumed;
  whole.lines += piece.lines;
  whole.blocks += piece.blocks;
  whole.first_ending = piece.first_ending;
}

// Scans `text` without the interpreter lock, then builds the result. A
// fixing scan goes a piece at a time, each written before the next.
PyObject* scan_released(std::string_view text, size_t offset, size_t stop, bool at_start, bool at_eof,
                        const ScanArguments& arguments) {
  lint::Scanner scanner(arguments.options, arguments.first_ending);
  ScanResult result;
  if (arguments.write == nullptr) {
    {
      ReleasedGil unlocked;
      result = scanner.scan(text, stop, at_start, at_eof, nullptr);
    }
    return result_of(offset, result, arguments);
  }
  ByteBuffer output;
  for (size_t at = 0; at < stop && at < text.size();) {
    output.clear();
    ScanResult piece;
    {
      ReleasedGil unlocked;
      piece = scanner.scan(text.substr(at), std::min(stop - at, kWritePiece), at_start && at == 0, at_eof, &output);
    }
    if (!write_out(arguments.write, output)) return nullptr;
    const size_t consumed = piece.consumed;
    merge_piece(result, std::move(piece), at);
    if (consumed == 0) break;  // a block that goes on past the text
    at += consumed;
  }
  return result_of(offset, result, arguments);
}

PyObject* lint_path(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"path", "start", "end", "select", "fix", "unsafe", "edits", "write",
                                         "first_ending", nullptr};
  PyObject* source;
  Py_ssize_t start;
  Py_ssize_t end;
  unsigned select = 0;
  unsigned fix = 0;
  int unsafe = 0;
  int edits = 0;
  PyObject* write = Py_None;
  PyObject* ending = Py_None;
  if (!parse_fastcall(args, nargs, kwnames, "Onn|$IIppOO:_lint_path", keywords, &source, &start, &end, &select, &fix,
                      &unsafe, &edits, &write, &ending)) {
    return nullptr;
  }
  ScanArguments arguments;
  if (!scan_arguments(select, fix, unsafe, edits, write, ending, arguments)) return nullptr;
  if (start < 0 || end < start) {
    PyErr_Format(PyExc_ValueError, "_lint_path needs 0 <= start <= end, not %zd and %zd", start, end);
    return nullptr;
  }
  PathArgument path;
  if (!convert_path(source, path)) return nullptr;
  OpenedFile opened;
  if (!open_released(path, opened)) return nullptr;
  if (!opened.mapping || opened.compression != Compression::None) Py_RETURN_NONE;
  std::string_view file = opened.mapping->bytes();
  // Lines end at LF alone, as for a bytes path: the file is examined in its bytes.
  const size_t first = first_block_start(file, to_size(start), Kind::Bytes);
  const size_t stop = to_size(end) > first ? to_size(end) - first : 0;
  return scan_released(file.substr(first), first, stop, first == 0, true, arguments);
}

PyObject* lint_bytes(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"data", "at_start", "at_eof", "offset", "select", "fix", "unsafe", "edits",
                                         "write", "first_ending", nullptr};
  PyObject* data;
  Py_ssize_t offset = 0;
  int at_start = 0;
  int at_eof = 0;
  unsigned select = 0;
  unsigned fix = 0;
  int unsafe = 0;
  int edits = 0;
  PyObject* write = Py_None;
  PyObject* ending = Py_None;
  if (!parse_fastcall(args, nargs, kwnames, "Opp|$nIIppOO:_lint_bytes", keywords, &data, &at_start, &at_eof, &offset,
                      &select, &fix, &unsafe, &edits, &write, &ending)) {
    return nullptr;
  }
  ScanArguments arguments;
  if (!scan_arguments(select, fix, unsafe, edits, write, ending, arguments)) return nullptr;
  if (offset < 0) {
    PyErr_Format(PyExc_ValueError, "_lint_bytes needs offset >= 0, not %zd", offset);
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  std::string_view text(static_cast<const char*>(view.buf), to_size(view.len));
  PyObject* result = scan_released(text, to_size(offset), text.size(), at_start != 0, at_eof != 0, arguments);
  PyBuffer_Release(&view);
  return result;
}

}  // namespace

Ref lint_code_names() noexcept {
  Ref names = Ref::steal(PyTuple_New(to_py_size(lint::kCodeCount)));
  for (size_t i = 0; names && i < lint::kCodeCount; ++i) {
    std::string_view name = lint::kCodeNames[i];
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), to_py_size(name.size()));
    if (text == nullptr) return {};
    PyTuple_SET_ITEM(names.get(), to_py_size(i), text);
  }
  return names;
}

PyMethodDef lint_path_def = function<lint_path>(
    "_lint_path",
    "_lint_path(path, start, end, *, select=0, fix=0, unsafe=False, edits=False, write=None, first_ending=None)\n"
    "--\n\n"
    "Lint the blocks of a mapped plain file that start in [start, end), and\n"
    "with write, write them with their fixes applied; None when the file is\n"
    "not mapped.");

PyMethodDef lint_bytes_def = function<lint_bytes>(
    "_lint_bytes",
    "_lint_bytes(data, at_start, at_eof, *, offset=0, select=0, fix=0, unsafe=False, edits=False, write=None,\n"
    "            first_ending=None)\n--\n\n"
    "Lint the whole blocks of a bytes-like object (all of it at_eof), and with\n"
    "write, write them with their fixes applied. `offset` is where the data\n"
    "starts in its file, as the result reports it.");

}  // namespace molbrook::py
