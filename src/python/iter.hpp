// Iterators over one block's records and record names.
#pragma once

#include "ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SDRecordIteratorType;
extern PyTypeObject* SDNameIteratorType;

// Creates both classes, once per process.
bool init_record_iterator_types() noexcept;

}  // namespace molbrook::py
