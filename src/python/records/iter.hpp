// Iterators over one block's records and record names.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SDRecordIteratorType;
extern PyTypeObject* SDNameIteratorType;

// Creates both classes, once per process.
bool init_record_iterator_types() noexcept;

// A new iterator of `type` (one of the two) over the records of `block`,
// an SDBlock, from its first record on.
PyObject* new_record_iterator(PyTypeObject* type, PyObject* block) noexcept;

}  // namespace molbrook::py
