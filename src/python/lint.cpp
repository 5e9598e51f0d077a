// The linter's scans, their arguments and their results as Python tuples.
// A scan runs without the interpreter lock over a mapped file or a buffer
// held for the call; its findings are converted in one batch afterwards.
#include "lint.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "compat.hpp"
#include "core/lint/scanner.hpp"
#include "core/read/compression.hpp"
#include "core/read/range.hpp"
#include "entry.hpp"
#include "gil.hpp"
#include "opened.hpp"
#include "paths.hpp"

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

Ref bytes_or_none(std::optional<std::string_view> bytes) noexcept {
  if (!bytes) return Ref::borrow(Py_None);
  return Ref::steal(PyBytes_FromStringAndSize(bytes->data(), static_cast<Py_ssize_t>(bytes->size())));
}

// (code, detail, block, line, column, offset, length, fix, record,
// related_line, text, numbers): offsets from the start of the scanned
// text, lines and blocks from its first.
Ref finding_tuple(const Finding& finding) noexcept {
  Ref record = bytes_or_none(finding.record);
  Ref text = bytes_or_none(finding.text);
  Ref related = finding.related == lint::kNoOffset ? Ref::borrow(Py_None)
                                                  : Ref::steal(PyLong_FromSize_t(finding.related_line));
  const auto& n = finding.numbers;
  Ref numbers = Ref::steal(Py_BuildValue("(LLLL)", static_cast<long long>(n[0]), static_cast<long long>(n[1]),
                                         static_cast<long long>(n[2]), static_cast<long long>(n[3])));
  if (!record || !text || !related || !numbers) return {};
  return Ref::steal(Py_BuildValue("(iinnnnniOOOO)", static_cast<int>(finding.code), static_cast<int>(finding.detail),
                                  static_cast<Py_ssize_t>(finding.block), static_cast<Py_ssize_t>(finding.line),
                                  static_cast<Py_ssize_t>(finding.column), static_cast<Py_ssize_t>(finding.offset),
                                  static_cast<Py_ssize_t>(finding.length), static_cast<int>(finding.fix), record.get(),
                                  related.get(), text.get(), numbers.get()));
}

Ref list_of(const ScanResult& result) noexcept {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(result.findings.size())));
  for (size_t i = 0; list && i < result.findings.size(); ++i) {
    Ref item = finding_tuple(result.findings[i]);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

// (finding index, start, end, text) per edit; None without edits asked for.
Ref edits_of(const ScanResult& result, bool asked) noexcept {
  if (!asked) return Ref::borrow(Py_None);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(result.edits.size())));
  for (size_t i = 0; list && i < result.edits.size(); ++i) {
    const lint::Edit& edit = result.edits[i];
    Ref item = Ref::steal(Py_BuildValue("(nnny#)", static_cast<Py_ssize_t>(edit.finding),
                                        static_cast<Py_ssize_t>(edit.start), static_cast<Py_ssize_t>(edit.end),
                                        edit.text.data(), static_cast<Py_ssize_t>(edit.text.size())));
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

Ref counts_of(const std::array<uint64_t, lint::kCodeCount>& counts, bool asked) noexcept {
  if (!asked) return Ref::borrow(Py_None);
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(counts.size())));
  for (size_t i = 0; tuple && i < counts.size(); ++i) {
    PyObject* count = PyLong_FromUnsignedLongLong(counts[i]);
    if (count == nullptr) return {};
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), count);
  }
  return tuple;
}

// (offset, consumed, lines, blocks, first_ending, findings, edits, fixed,
// unfixed): `offset` is where the scanned text starts in the file.
PyObject* result_tuple(size_t offset, const ScanResult& result, const ScanArguments& arguments) noexcept {
  const bool writes = arguments.write != nullptr;
  Ref findings = list_of(result);
  Ref edits = edits_of(result, arguments.options.edits);
  Ref fixed = counts_of(result.fixed, writes);
  Ref unfixed = counts_of(result.unfixed, writes);
  Ref ending = result.first_ending ? Ref::steal(PyLong_FromLong(static_cast<long>(*result.first_ending)))
                                   : Ref::borrow(Py_None);
  if (!findings || !edits || !fixed || !unfixed || !ending) return nullptr;
  return Py_BuildValue("(nnnnOOOOO)", static_cast<Py_ssize_t>(offset), static_cast<Py_ssize_t>(result.consumed),
                       static_cast<Py_ssize_t>(result.lines), static_cast<Py_ssize_t>(result.blocks), ending.get(),
                       findings.get(), edits.get(), fixed.get(), unfixed.get());
}

// Passes `bytes` to write() as a memoryview, released afterwards: a writer
// that kept it would find it closed rather than changed. The release runs
// with no exception pending; write()'s error (a full disk) is the one
// raised.
bool write_out(PyObject* write, const ByteBuffer& bytes) noexcept {
  if (bytes.empty()) return true;
  Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(bytes.data()),
                                                static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ));
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
    return result_tuple(offset, result, arguments);
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
  return result_tuple(offset, result, arguments);
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
  const size_t first = first_block_start(file, static_cast<size_t>(start), Kind::Bytes);
  const size_t stop = static_cast<size_t>(end) > first ? static_cast<size_t>(end) - first : 0;
  return scan_released(file.substr(first), first, stop, first == 0, true, arguments);
}

PyObject* lint_bytes(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"data", "at_start", "at_eof", "select", "fix", "unsafe", "edits", "write",
                                         "first_ending", nullptr};
  PyObject* data;
  int at_start = 0;
  int at_eof = 0;
  unsigned select = 0;
  unsigned fix = 0;
  int unsafe = 0;
  int edits = 0;
  PyObject* write = Py_None;
  PyObject* ending = Py_None;
  if (!parse_fastcall(args, nargs, kwnames, "Opp|$IIppOO:_lint_bytes", keywords, &data, &at_start, &at_eof, &select,
                      &fix, &unsafe, &edits, &write, &ending)) {
    return nullptr;
  }
  ScanArguments arguments;
  if (!scan_arguments(select, fix, unsafe, edits, write, ending, arguments)) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  std::string_view text(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
  PyObject* result = scan_released(text, 0, text.size(), at_start != 0, at_eof != 0, arguments);
  PyBuffer_Release(&view);
  return result;
}

}  // namespace

Ref lint_code_names() noexcept {
  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(lint::kCodeCount)));
  for (size_t i = 0; names && i < lint::kCodeCount; ++i) {
    std::string_view name = lint::kCodeNames[i];
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr) return {};
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text);
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
    "_lint_bytes(data, at_start, at_eof, *, select=0, fix=0, unsafe=False, edits=False, write=None,\n"
    "            first_ending=None)\n--\n\n"
    "Lint the whole blocks of a bytes-like object (all of it at_eof), and with\n"
    "write, write them with their fixes applied.");

}  // namespace molbrook::py
