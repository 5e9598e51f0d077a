// Iterators over one block's records and record names.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

// Create the classes of the (name, value) and of the name iterator for
// `module`.
PyTypeObject* new_record_iterator_type(PyObject* module) noexcept;
PyTypeObject* new_name_iterator_type(PyObject* module) noexcept;

// A new iterator of `type` (one of the two) over the records of `block`,
// an SDBlock, from its first record on.
PyObject* new_record_iterator(PyTypeObject* type, PyObject* block) noexcept;

}  // namespace molbrook::py
