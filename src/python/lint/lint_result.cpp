#include "lint/lint_result.hpp"

#include <array>
#include <optional>
#include <string_view>

#include "base/sizes.hpp"

namespace molbrook::py {

PyTypeObject* LintScanType = nullptr;
PyTypeObject* LintFindingType = nullptr;
PyTypeObject* LintEditType = nullptr;

namespace {

// Offsets, lines and blocks count from the start of the scanned text,
// which starts a line.
PyStructSequence_Field finding_fields[] = {
    {"code", "The code's number, an index of _lint_codes."},
    {"detail", "Which of the code's messages."},
    {"block", "The block it lies in, from 0."},
    {"line", "Its line, from 1."},
    {"column", "Its column in bytes, from 1."},
    {"offset", "Its first byte."},
    {"length", "Its bytes."},
    {"fix", "The kind of its fix: 0 none, then safe, unsafe."},
    {"record", "The record name it involves, as bytes, or None."},
    {"related_line", "The line of another place the message names, or None."},
    {"text", "The bytes the message quotes, maybe none."},
    {"numbers", "Four ints the message gives."},
    {nullptr, nullptr},
};

PyStructSequence_Field edit_fields[] = {
    {"finding", "The index of the finding it fixes in the scan's findings."},
    {"start", "The first byte replaced."},
    {"end", "The byte after the last replaced (start for an insertion)."},
    {"text", "The bytes put in their place."},
    {nullptr, nullptr},
};

PyStructSequence_Field scan_fields[] = {
    {"offset", "Where the scanned text starts in its file."},
    {"consumed", "Bytes of the whole blocks scanned."},
    {"lines", "Line endings in them."},
    {"blocks", "Blocks scanned."},
    {"first_ending", "The file's first line ending (0 LF, 1 CRLF, 2 CR), once seen; else None."},
    {"findings", "A list of _LintFinding, in file order."},
    {"edits", "A list of _LintEdit, or None when edits were not asked for."},
    {"fixed", "Per code, findings fixed; None unless the scan wrote."},
    {"unfixed", "Per code, findings left; None unless the scan wrote."},
    {nullptr, nullptr},
};

template <size_t N>
constexpr int field_count(const PyStructSequence_Field (&)[N]) noexcept {
  return static_cast<int>(N - 1);
}

PyStructSequence_Desc finding_desc = {"molbrook.native._LintFinding", "A lint finding, as a scan reports it.",
                                      finding_fields, field_count(finding_fields)};
PyStructSequence_Desc edit_desc = {"molbrook.native._LintEdit", "An edit of a finding's fix.", edit_fields,
                                   field_count(edit_fields)};
PyStructSequence_Desc scan_desc = {"molbrook.native._LintScan", "What a lint scan found.", scan_fields,
                                   field_count(scan_fields)};

PyTypeObject* new_struct_type(PyStructSequence_Desc& desc) noexcept {
  return reinterpret_cast<PyTypeObject*>(PyStructSequence_NewType(&desc));
}

// A struct sequence of `type` holding `items`; null if any is.
template <size_t N>
Ref filled(PyTypeObject* type, std::array<Ref, N>&& items) noexcept {
  for (const Ref& item : items) {
    if (!item) return {};
  }
  Ref result = Ref::steal(PyStructSequence_New(type));
  for (size_t i = 0; result && i < N; ++i) PyStructSequence_SetItem(result.get(), to_py_size(i), items[i].release());
  return result;
}

Ref size(size_t value) noexcept { return Ref::steal(PyLong_FromSize_t(value)); }

Ref bytes_of(std::string_view bytes) noexcept {
  return Ref::steal(PyBytes_FromStringAndSize(bytes.data(), to_py_size(bytes.size())));
}

Ref bytes_or_none(std::optional<std::string_view> bytes) noexcept {
  return bytes ? bytes_of(*bytes) : Ref::borrow(Py_None);
}

Ref finding_of(const lint::Finding& finding) noexcept {
  const auto& n = finding.numbers;
  return filled<12>(
      LintFindingType,
      {Ref::steal(PyLong_FromLong(static_cast<long>(finding.code))), Ref::steal(PyLong_FromLong(finding.detail)),
       size(finding.block), size(finding.line), size(finding.column), size(finding.offset), size(finding.length),
       Ref::steal(PyLong_FromLong(static_cast<long>(finding.fix))), bytes_or_none(finding.record),
       finding.related == lint::kNoOffset ? Ref::borrow(Py_None) : size(finding.related_line),
       bytes_of(finding.text),
       Ref::steal(Py_BuildValue("(LLLL)", static_cast<long long>(n[0]), static_cast<long long>(n[1]),
                                static_cast<long long>(n[2]), static_cast<long long>(n[3])))});
}

Ref edit_of(const lint::Edit& edit) noexcept {
  return filled<4>(LintEditType, {size(edit.finding), size(edit.start), size(edit.end),
                                  bytes_of(edit.text)});
}

// A list of `items` each made by `make`.
template <class Items, class Make>
Ref list_of(const Items& items, Make make) noexcept {
  Ref list = Ref::steal(PyList_New(to_py_size(items.size())));
  for (size_t i = 0; list && i < items.size(); ++i) {
    Ref item = make(items[i]);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), to_py_size(i), item.release());
  }
  return list;
}

Ref counts_of(const std::array<uint64_t, lint::kCodeCount>& counts) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(to_py_size(counts.size())));
  for (size_t i = 0; tuple && i < counts.size(); ++i) {
    PyObject* count = PyLong_FromUnsignedLongLong(counts[i]);
    if (count == nullptr) return {};
    PyTuple_SET_ITEM(tuple.get(), to_py_size(i), count);
  }
  return tuple;
}

}  // namespace

bool init_lint_types() noexcept {
  if (LintScanType == nullptr) {
    LintFindingType = new_struct_type(finding_desc);
    LintEditType = LintFindingType ? new_struct_type(edit_desc) : nullptr;
    LintScanType = LintEditType ? new_struct_type(scan_desc) : nullptr;
  }
  return LintScanType != nullptr;
}

PyObject* lint_scan(size_t offset, const lint::ScanResult& result, bool edits, bool counts) noexcept {
  return filled<9>(
             LintScanType,
             {size(offset), size(result.consumed), size(result.lines), size(result.blocks),
              result.first_ending ? Ref::steal(PyLong_FromLong(static_cast<long>(*result.first_ending)))
                                  : Ref::borrow(Py_None),
              list_of(result.findings, finding_of), edits ? list_of(result.edits, edit_of) : Ref::borrow(Py_None),
              counts ? counts_of(result.fixed) : Ref::borrow(Py_None),
              counts ? counts_of(result.unfixed) : Ref::borrow(Py_None)})
      .release();
}

}  // namespace molbrook::py
