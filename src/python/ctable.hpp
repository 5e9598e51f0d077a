// The CTable class, the connection-table members of SDBlock, and the
// exceptions connection-table errors raise.
#pragma once

#include "ref.hpp"

namespace molbrook::py {

extern PyTypeObject* CTableType;

// Creates the class, once per process.
bool init_ctable_type() noexcept;

// SDBlock members, listed in SDBlock's method and property tables.
PyObject* block_ctable(PyObject* object, PyObject*);
PyObject* block_renumber_indices(PyObject* object, PyObject*);
PyObject* block_fix_counts(PyObject* object, PyObject*);
PyObject* block_num_atoms(PyObject* object, void*);
PyObject* block_num_bonds(PyObject* object, void*);
PyObject* block_format(PyObject* object, void*);

extern const char kBlockCtableDoc[];
extern const char kBlockRenumberIndicesDoc[];
extern const char kBlockFixCountsDoc[];
extern const char kBlockNumAtomsDoc[];
extern const char kBlockNumBondsDoc[];
extern const char kBlockFormatDoc[];

}  // namespace molbrook::py
