// The native side of molbrook.sort_sdf: the _Sorter class.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

// Creates the class for `module`.
PyTypeObject* new_sorter_type(PyObject* module) noexcept;

}  // namespace molbrook::py
