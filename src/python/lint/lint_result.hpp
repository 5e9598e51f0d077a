// A lint scan's result as Python sees it: struct sequences whose fields
// are read by name (molbrook._lint), built from the core's ScanResult.
#pragma once

#include <cstddef>

#include "base/module_state.hpp"
#include "base/ref.hpp"
#include "core/lint/scanner.hpp"

namespace molbrook::py {

// Create the three types for `module` (which a struct sequence type does
// not name: they are found in its state).
PyTypeObject* new_lint_scan_type(PyObject* module) noexcept;
PyTypeObject* new_lint_finding_type(PyObject* module) noexcept;
PyTypeObject* new_lint_edit_type(PyObject* module) noexcept;

// The _LintScan (of the module whose state is `state`) of a scan whose text starts `offset` bytes into its file;
// `edits` and `counts` say whether its edits and its fixed and unfixed
// counts were asked for (None in their fields otherwise).
PyObject* lint_scan(const ModuleState& state, size_t offset, const lint::ScanResult& result, bool edits, bool counts) noexcept;

}  // namespace molbrook::py
