// A lint scan's result as Python sees it: struct sequences whose fields
// are read by name (molbrook._lint), built from the core's ScanResult.
#pragma once

#include <cstddef>

#include "base/ref.hpp"
#include "core/lint/scanner.hpp"

namespace molbrook::py {

extern PyTypeObject* LintScanType;
extern PyTypeObject* LintFindingType;
extern PyTypeObject* LintEditType;

// Creates the three types, once per process.
bool init_lint_types() noexcept;

// The _LintScan of a scan whose text starts `offset` bytes into its file;
// `edits` and `counts` say whether its edits and its fixed and unfixed
// counts were asked for (None in their fields otherwise).
PyObject* lint_scan(size_t offset, const lint::ScanResult& result, bool edits, bool counts) noexcept;

}  // namespace molbrook::py
