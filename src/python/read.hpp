// Reading: parse_sdf, parse_sdf_range, SDBlock.from_sdf, SDBlock.from_lines and the block
// iterator they return.
#pragma once

#include "ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SDBlockIteratorType;

// Creates the iterator class, once per process.
bool init_block_iterator_type() noexcept;

extern PyMethodDef parse_sdf_def;
extern PyMethodDef parse_sdf_range_def;

// The static methods SDBlock.from_sdf and SDBlock.from_lines (METH_O).
PyObject* block_from_sdf(PyObject*, PyObject* sdf) noexcept;
PyObject* block_from_lines(PyObject*, PyObject* lines) noexcept;
extern const char kFromSdfDoc[];
extern const char kFromLinesDoc[];

}  // namespace molbrook::py
