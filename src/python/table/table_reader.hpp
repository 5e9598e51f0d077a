// Reading records into tables: the batch reader behind read_table and
// scan_table, and the first pass that finds the record names.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

// Creates the class for `module`.
PyTypeObject* new_table_reader_type(PyObject* module) noexcept;

}  // namespace molbrook::py
