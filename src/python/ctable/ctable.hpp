// The CTable class, the connection-table members of SDBlock, and the
// exceptions connection-table errors raise.
#pragma once

#include "block/sdblock.hpp"

namespace molbrook::py {

// Creates the class for `module`.
PyTypeObject* new_ctable_type(PyObject* module) noexcept;

// SDBlock members, listed in SDBlock's method and property tables.
PyObject* block_ctable(PySDBlock* self);
PyObject* block_renumber_indices(PySDBlock* self);
PyObject* block_fix_counts(PySDBlock* self);
PyObject* block_num_atoms(PySDBlock* self);
PyObject* block_num_bonds(PySDBlock* self);
PyObject* block_format(PySDBlock* self);

extern const char kBlockCtableDoc[];
extern const char kBlockRenumberIndicesDoc[];
extern const char kBlockFixCountsDoc[];
extern const char kBlockNumAtomsDoc[];
extern const char kBlockNumBondsDoc[];
extern const char kBlockFormatDoc[];

}  // namespace molbrook::py
