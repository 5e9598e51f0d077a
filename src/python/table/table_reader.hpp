// Reading records into tables: the batch reader behind read_table and
// scan_table, and the first pass that finds the record names.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

extern PyTypeObject* TableReaderType;

// Creates the class, once per process.
bool init_table_reader_type() noexcept;

}  // namespace molbrook::py
